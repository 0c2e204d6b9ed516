// The shutdown's modeless dialogs with one changing line and Cancel: the
// countdown (136) and the wait for the members (144). Their logic lives in
// the core; its timers are this dialog's.
#pragma once
#include <QDialog>
#include <functional>

#include "tools/manager/core/manager_host.h"
#include "tools/manager/qt/qt_timers.h"

class QLabel;

namespace qn::manager {

class CStatusDialog : public QDialog, public IStatusDialogView {
 public:
  // `heading` is the fixed line above the text (none for the wait);
  // `textId` the changing line's control number.
  CStatusDialog(int id, const char* heading, int textId, QWidget* parent);

  // Set by the owner once the logic exists.
  std::function<void(int)> onTimer;
  std::function<void()> onCancel;

  QtTimers& Timers() { return timers_; }
  QString Text() const;
  void SetText(const std::string& text) override;
  void ShowCentered() override;
  void Hide() override { hide(); }
  // Cancel, Escape and the close box.
  void reject() override;

 private:
  QLabel* text_;
  QtTimers timers_;
};

// Moves a window so that its centre is the screen's.
void CentreOnScreen(QWidget& window);

}  // namespace qn::manager
