#include "tools/config/core/add_adv_dlg.h"

#include "tools/config/core/setting_checks.h"

namespace qn::config {

namespace {

bool Refuse(IDialogView& view, int control, const std::string& text) {
  view.MessageBox(text, Buttons::Ok, Icon::Exclamation);
  view.FocusControl(control);
  return false;
}

}  // namespace

void CAddAdvDlg::Step(int delta) { m_strSeconds = StepInteger(m_strSeconds, delta, kMinSeconds, kMaxSeconds); }

bool CAddAdvDlg::OnOK(IDialogView& view) {
  if (!IsAdvertisementName(m_strApplication)) return Refuse(view, kApplication, texts::kAdvNameCharacters);
  if (!IsAdvertisementName(m_strVendor)) return Refuse(view, kVendor, texts::kAdvNameCharacters);
  if (auto refused = CheckInteger(m_strSeconds, kMinSeconds, kMaxSeconds)) return Refuse(view, kSeconds, *refused);
  if (!FitsAdvertisementValue(Line())) return Refuse(view, kApplication, texts::kAdvLineTooLong);
  return true;
}

std::string CAddAdvDlg::Line() const {
  const auto seconds = ParseInteger(m_strSeconds).value_or(0);
  return m_strApplication + '\t' + m_strVendor + '\t' + std::to_string(seconds);
}

}  // namespace qn::config
