// The property sheet "Quillnet Configuration Manager" on Qt: a tab per page,
// OK (the default), Cancel (also Escape and the close box) and Apply, all
// handed to CMyPropSheet. Ctrl+Tab and Ctrl+PageDown go to the next page,
// Ctrl+Shift+Tab and Ctrl+PageUp to the one before, with the focus on the
// page's first control.
#pragma once
#include <QDialog>
#include <memory>

#include "tools/config/core/prop_sheet.h"
#include "tools/config/qt/message_boxes.h"

class QPushButton;
class QTabWidget;

namespace qn::config {

class SmtpPageView;
class AdvPageView;
class WipPageView;

class ConfigSheetWindow : public QDialog, public IConfigView {
 public:
  // Loads the settings from `store` into the pages.
  explicit ConfigSheetWindow(ISettingsStore& store, QWidget* parent = nullptr);
  ~ConfigSheetWindow() override;

  CMyPropSheet& Logic() { return logic_; }
  BeforeModal beforeModal;

  int MessageBox(const std::string& text, Buttons buttons, Icon icon) override;
  void FocusControl(int control) override;
  int RunAddDialog(CAddAdvDlg& dialog) override;
  void EndSheet(int result) override;

  void ShowPage(int page);
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* FirstControlOf(int page) const;

  CMyPropSheet logic_;
  QTabWidget* tabs_;
  SmtpPageView* smtp_;
  AdvPageView* adv_;
  WipPageView* wip_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* apply_;
  bool shown_ = false;
};

}  // namespace qn::config
