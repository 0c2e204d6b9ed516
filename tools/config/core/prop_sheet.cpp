#include "tools/config/core/prop_sheet.h"

#include "tools/config/core/config_texts.h"
#include "tools/config/core/setting_checks.h"

namespace qn::config {

void CMyPropSheet::Load() {
  smtp_.Load(store_.ReadSection(texts::kSmtpSection));
  adv_.Load(store_.ReadSection(texts::kAdvertiseSection));
  wip_.Load(store_.ReadSection(texts::kWipSection));
}

CMyPropSheet::Page CMyPropSheet::PageOf(int control) {
  if (control >= CPPAdv::kList && control <= CPPAdv::kLoop) return kAdvPage;
  if (control == CPPWip::kAudit) return kWipPage;
  return kSmtpPage;
}

std::vector<SectionWrite> CMyPropSheet::Changes() const {
  std::vector<SectionWrite> writes;
  smtp_.AddChanges(writes);
  adv_.AddChanges(writes);
  wip_.AddChanges(writes);
  return writes;
}

bool CMyPropSheet::Save() {
  if (auto refusal = smtp_.Validate()) {
    view_.MessageBox(refusal->text, Buttons::Ok, Icon::Exclamation);
    view_.FocusControl(refusal->control);
    return false;
  }
  const std::vector<SectionWrite> writes = Changes();
  if (writes.empty()) return true;
  std::string reason;
  if (!store_.Write(writes, reason)) {
    view_.MessageBox(Format(texts::kSaveFailed, reason), Buttons::Ok, Icon::Stop);
    return false;
  }
  smtp_.Commit();
  adv_.Commit();
  wip_.Commit();
  return true;
}

void CMyPropSheet::OnOK() {
  if (Save()) Close(IDOK);
}

void CMyPropSheet::OnApply() { Save(); }

void CMyPropSheet::OnCancel() { Close(IDCANCEL); }

void CMyPropSheet::Close(int result) {
  view_.EndSheet(result);
  view_.MessageBox(texts::kRestartNotice, Buttons::Ok, Icon::Information);
}

}  // namespace qn::config
