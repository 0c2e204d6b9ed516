// What the configuration editor's sheet needs from around it, as small
// interfaces: the window it shows in (message boxes, focus, the Add dialog,
// its end) and the settings store. The program has real ones; the tests
// have fakes.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/registry_store.h"

namespace qn::config {

// Dialog and message box results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

enum class Buttons { Ok, YesNo };  // YesNo: "&Yes" is the default
enum class Icon { Information, Exclamation, Stop };

// A value the operator must mend before a save, and the control that holds
// it.
struct Refusal {
  int control = 0;
  std::string text;
};

// A window of the editor (the sheet or the Add dialog) as its logic sees
// it.
class IDialogView {
 public:
  virtual ~IDialogView() = default;
  // Modal, captioned with the program's name; IDOK, IDYES or IDNO.
  virtual int MessageBox(const std::string& text, Buttons buttons, Icon icon) = 0;
  // Puts the focus on a control by its number, showing its page first.
  virtual void FocusControl(int control) = 0;
};

class CAddAdvDlg;

class IConfigView : public IDialogView {
 public:
  // Dialog 133, modal: IDOK once the dialog's logic accepted its values,
  // else IDCANCEL.
  virtual int RunAddDialog(CAddAdvDlg& dialog) = 0;
  // Ends the sheet's modal run.
  virtual void EndSheet(int result) = 0;
};

// One section's part of a save.
struct SectionWrite {
  std::string section;
  std::vector<reg::Value> values;  // set in this order
  // The section's other values go, but those named in `keep`.
  bool replace = false;
  std::vector<std::string> keep;
};

// The sections below "SOFTWARE\Brenlo\Quillnet Server".
class ISettingsStore {
 public:
  virtual ~ISettingsStore() = default;
  // The section's values in file order; none when the section, or the
  // file, is missing or cannot be read.
  virtual std::vector<reg::Value> ReadSection(const std::string& section) = 0;
  // Every write or none; false with the reason.
  virtual bool Write(const std::vector<SectionWrite>& writes, std::string& reason) = 0;
};

}  // namespace qn::config
