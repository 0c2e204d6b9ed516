// The property sheet "Quillnet Configuration Manager" without its window:
// its three pages, loaded from the store, and OK, Apply and Cancel.
//
// A save checks the edited values first (the first refusal is shown and
// focused, and nothing is written), then writes only what changed since
// the load or the last Apply, in one write of the store: values other
// programs wrote meanwhile stay, and a failed write changes nothing and
// keeps the sheet open with the reason. Every close shows the notice that
// the server reads its settings when it starts.
#pragma once
#include <vector>

#include "tools/config/core/config_host.h"
#include "tools/config/core/pp_adv.h"
#include "tools/config/core/pp_smtp.h"
#include "tools/config/core/pp_wip.h"

namespace qn::config {

class CMyPropSheet {
 public:
  enum Page { kSmtpPage, kAdvPage, kWipPage };

  CMyPropSheet(ISettingsStore& store, IConfigView& view) : store_(store), view_(view) {}

  void Load();
  CPPSMTP& Smtp() { return smtp_; }
  CPPAdv& Adv() { return adv_; }
  CPPWip& Wip() { return wip_; }
  IConfigView& View() { return view_; }

  // The page that holds a control, by the control's number.
  static Page PageOf(int control);

  void OnOK();
  // Saves as OK does; the sheet stays open.
  void OnApply();
  // Also the close box and Escape.
  void OnCancel();

  // What a save would write now.
  std::vector<SectionWrite> Changes() const;

 private:
  bool Save();
  void Close(int result);

  ISettingsStore& store_;
  IConfigView& view_;
  CPPSMTP smtp_;
  CPPAdv adv_;
  CPPWip wip_;
};

}  // namespace qn::config
