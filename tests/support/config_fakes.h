// Fakes around the configuration editor's sheet: a settings store in memory
// that applies writes as the registry store does (and fails on demand), and
// a view that records what it shows and answers from a script.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/config/core/add_adv_dlg.h"
#include "tools/config/core/config_host.h"

namespace qn::config::test {

class FakeStore : public ISettingsStore {
 public:
  std::vector<reg::Value> ReadSection(const std::string& section) override;
  bool Write(const std::vector<SectionWrite>& writes, std::string& reason) override;

  // The value's text, its number as "dword:N", or "<none>".
  std::string Get(const std::string& section, const std::string& name) const;
  std::vector<std::string> Names(const std::string& section) const;

  std::map<std::string, std::vector<reg::Value>> sections;
  std::vector<std::vector<SectionWrite>> saves;  // every write asked for
  std::optional<std::string> failWith;           // the reason of a refused write
};

struct ShownBox {
  std::string text;
  Buttons buttons;
  Icon icon;
};

class FakeView : public IConfigView {
 public:
  int MessageBox(const std::string& text, Buttons buttons, Icon icon) override;
  void FocusControl(int control) override { focused.push_back(control); }
  int RunAddDialog(CAddAdvDlg& dialog) override;
  void EndSheet(int result) override { ended = result; }

  // The next Add dialog: the operator types these and presses OK (IDOK
  // when the dialog took them).
  void WillAdd(const std::string& application, const std::string& vendor, const std::string& seconds);
  void WillCancelAdd();

  std::vector<ShownBox> boxes;
  std::deque<int> answers;  // in turn; then IDYES for a question, IDOK for the rest
  std::vector<int> focused;
  std::optional<int> ended;
  std::deque<std::function<int(CAddAdvDlg&)>> addDialogs;
};

}  // namespace qn::config::test
