// The manager's main window: a fixed client area of 360 by 66 pixels with
// the nineteen bitmap buttons and the animation, the view of CManagerFrame.
// The shutdown dialog runs modally from it; the countdown and wait dialogs
// are its modeless companions.
#pragma once
#include <QImage>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <memory>

#include "tools/manager/core/manager_frame.h"
#include "tools/manager/qt/qt_timers.h"

class QDialog;

namespace qn::manager {

class CAnimationWnd;
class CStatusDialog;
class CTipButton;
class CTipWnd;

class CManagerWindow : public QWidget, public IManagerView {
 public:
  // `host` without its view and timers: the window is the view and has the
  // timers.
  explicit CManagerWindow(ManagerHost host);
  ~CManagerWindow() override;

  CManagerFrame& Logic() { return *frame_; }
  CTipButton* Button(int command) const;
  CTipWnd& Tip() const { return *tip_; }
  CAnimationWnd& Animation() const { return *animation_; }
  CStatusDialog& CountdownDialog() const { return *countdown_; }
  CStatusDialog& WaitDialog() const { return *wait_; }
  QtTimers& Timers() { return timers_; }

  // Called with each modal dialog (message boxes, the shutdown dialog, the
  // open-file dialog) before it runs; tests answer them.
  std::function<void(QDialog&)> beforeModal;
  // Called once, after the window's first paint.
  std::function<void()> onFirstPaint;

  // The running copy was asked to come to the front by a second one.
  void Activate() { RestoreMainWindow(); }

  void SetTitle(const std::string& title) override;
  void SetStartStopLook(StartStopLook look) override;
  void EnableButton(int command, bool enabled) override;
  void RedrawNow() override;
  void StartAnimation() override;
  void StopAnimation() override;
  void MessageBox(const std::string& text, Icon icon) override;
  void BeginCursor(Cursor cursor) override;
  void EndCursor() override;
  bool RunShutdownDialog() override;
  void RestoreMainWindow() override;
  std::optional<std::string> AskClientProgram(const std::string& initialDir) override;
  void CloseMainWindow() override;

 protected:
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  int Modal(QDialog& dialog);

  std::unique_ptr<CTipWnd> tip_;
  std::map<int, CTipButton*> buttons_;
  // The start/stop button's up, pressed and disabled bitmaps by look.
  std::array<std::array<QImage, 3>, 3> looks_;
  CAnimationWnd* animation_;
  CStatusDialog* countdown_;
  CStatusDialog* wait_;
  QtTimers timers_;
  std::unique_ptr<CManagerFrame> frame_;
  bool painted_ = false;
  bool destroyed_ = false;
};

}  // namespace qn::manager
