// The shutdown dialog (143): how to shut the server down (now, in so many
// minutes, or when everyone has logged off) and the message to the members.
// Its values and rules are CShutdownDlg's; this is its window.
#pragma once
#include <QDialog>
#include <functional>

#include "tools/manager/core/shutdown_dlgs.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QRadioButton;

namespace qn::manager {

class CShutdownDialog : public QDialog {
 public:
  // `beforeModal` (may be empty) sees each message box before it runs.
  CShutdownDialog(CShutdownDlg& logic, QWidget* parent, std::function<void(QDialog&)> beforeModal = {});
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FromControls();
  void ToControls();
  void OnChoice(int choice);

  CShutdownDlg& logic_;
  std::function<void(QDialog&)> beforeModal_;
  QRadioButton* choices_[3];
  QLineEdit* minutes_;
  QLabel* minutesLabel_;
  QPlainTextEdit* message_;
  bool centred_ = false;
};

}  // namespace qn::manager
