// Dialog 133 "Add CAM Advertisement" on Qt over CAddAdvDlg: OK hands the
// three edits to the logic and closes only when it accepts them.
#pragma once
#include <QDialog>

#include "tools/config/core/add_adv_dlg.h"
#include "tools/config/qt/message_boxes.h"

class QLineEdit;

namespace qn::config {

class AddAdvDialog : public QDialog, public IDialogView {
 public:
  AddAdvDialog(CAddAdvDlg& logic, BeforeModal hook, QWidget* parent = nullptr);

  int MessageBox(const std::string& text, Buttons buttons, Icon icon) override;
  void FocusControl(int control) override;

 private:
  void OnOK();

  CAddAdvDlg& logic_;
  BeforeModal hook_;
  QLineEdit* application_;
  QLineEdit* vendor_;
  QLineEdit* seconds_;
};

}  // namespace qn::config
