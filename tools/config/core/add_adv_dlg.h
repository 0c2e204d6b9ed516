// Dialog 133 "Add CAM Advertisement" without its window: the application,
// the vendor and the seconds, checked when the operator presses OK.
#pragma once
#include <string>

#include "tools/config/core/config_host.h"
#include "tools/config/core/config_texts.h"

namespace qn::config {

class CAddAdvDlg {
 public:
  static constexpr int kApplication = 1014;
  static constexpr int kVendor = 1015;
  static constexpr int kSeconds = 1016;
  static constexpr int kArrows = 1017;
  // The one range of the arrows and of the check.
  static constexpr long kMinSeconds = 0;
  static constexpr long kMaxSeconds = 30000;

  // The arrows beside the seconds.
  void Step(int delta);
  // True when the values can make an advertisement; otherwise the reason
  // is shown and the focus goes to the control to mend.
  bool OnOK(IDialogView& view);
  // "%s\t%s\t%ld" of the accepted values.
  std::string Line() const;

  std::string m_strApplication;
  std::string m_strVendor;
  std::string m_strSeconds = texts::kSecondsInitial;
};

}  // namespace qn::config
