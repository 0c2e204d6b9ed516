#include "tools/config/core/pp_wip.h"

#include "tools/config/core/config_texts.h"
#include "tools/config/core/section_values.h"

namespace qn::config {

void CPPWip::Load(const std::vector<reg::Value>& section) {
  audit_ = savedAudit_ = DwordValue(section, texts::kAuditValue) == 1u;
}

void CPPWip::AddChanges(std::vector<SectionWrite>& writes) const {
  if (audit_ != savedAudit_)
    writes.push_back(SectionWrite{texts::kWipSection, {reg::MakeDword(texts::kAuditValue, audit_ ? 1 : 0)}, false, {}});
}

}  // namespace qn::config
