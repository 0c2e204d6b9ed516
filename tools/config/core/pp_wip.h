// Page "WIP Server" (dialog 134) without its window: the audit of page
// views. The box is ticked only by the stored 1, the one value with which
// the server audits.
#pragma once
#include <vector>

#include "tools/config/core/config_host.h"

namespace qn::config {

class CPPWip {
 public:
  static constexpr int kAudit = 1021;

  void Load(const std::vector<reg::Value>& section);
  bool Audit() const { return audit_; }
  void SetAudit(bool audit) { audit_ = audit; }
  void AddChanges(std::vector<SectionWrite>& writes) const;
  void Commit() { savedAudit_ = audit_; }

 private:
  bool audit_ = false, savedAudit_ = false;
};

}  // namespace qn::config
