// The server's shutdown: the shutdown dialog's values and rules (143), what
// its OK carries out through the server's Monitor object, the countdown of
// whole minutes with its warnings (136), and the wait for the last member
// to leave (144). The dialogs' windows are views; their timers (5 and 6)
// are their own.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "tools/manager/core/manager_frame.h"
#include "tools/manager/core/manager_host.h"

namespace qn::manager {

inline constexpr int kCountdownTimer = 5;
inline constexpr int kCountdownMs = 1000;
inline constexpr int kWaitTimer = 6;
inline constexpr int kWaitMs = 20000;

inline constexpr int kChoiceNow = 0;
inline constexpr int kChoiceIn = 1;
inline constexpr int kChoiceLogoff = 2;
inline constexpr int kMinMinutes = 1;
inline constexpr int kMaxMinutes = 999;
inline constexpr size_t kMaxMessage = 255;

// The number the minutes edit's text starts with, as the message rules read
// it while the operator types (no number reads as 0).
int MinutesOfText(const std::string& text);
// The text is a whole number from 1 to 999 (blanks around it allowed).
std::optional<int> ValidMinutes(const std::string& text);
// "%d user still connected." or "%d users still connected.".
std::string UsersConnectedText(int32_t connections);

class CShutdownCountdownDlg {
 public:
  CShutdownCountdownDlg(CManagerFrame& frame, IStatusDialogView& view, ITimers& timers)
      : frame_(frame), view_(view), timers_(timers) {}
  void Start(int minutes);
  void OnTimer(int id);
  void OnCancel();
  void Stop() { timers_.KillTimer(kCountdownTimer); }
  const std::string& Text() const { return text_; }

 private:
  void Broadcast(const char* text);
  void ShowText();

  CManagerFrame& frame_;
  IStatusDialogView& view_;
  ITimers& timers_;
  int minutes_ = 0;
  int seconds_ = 0;
  std::string text_;
};

class CShutdownWaitDlg {
 public:
  CShutdownWaitDlg(CManagerFrame& frame, IStatusDialogView& view, ITimers& timers)
      : frame_(frame), view_(view), timers_(timers) {}
  void Start(int32_t connections);
  void OnTimer(int id);
  void OnCancel();
  void Stop() { timers_.KillTimer(kWaitTimer); }
  int32_t Connections() const { return connections_; }

 private:
  CManagerFrame& frame_;
  IStatusDialogView& view_;
  ITimers& timers_;
  int32_t connections_ = 0;
  // A count that cannot be read is told once until one can again.
  bool countFailing_ = false;
};

class CShutdownDlg {
 public:
  CShutdownDlg(CManagerFrame& frame, const CManagerFrame::DialogViews& views);

  // The message edit and the logoff choice can be used only with access to
  // the Monitor object.
  bool MonitorChoicesEnabled() const { return !frame_.NoMonitorAccess(); }

  // Control events; the view has put the edits' texts into m_strMinutes and
  // m_strMessage first and shows the fields afterwards.
  void OnNow();
  void OnIn();
  void OnLogoff();
  void OnMinutesChanged();
  // OK's check: nullopt when the values pass, else the message to show
  // (the minutes edit then takes the focus).
  std::optional<std::string> Validate();
  // What OK carries out once the dialog has closed.
  void OnOK();
  void OnDestroy();

  CShutdownCountdownDlg& Countdown() { return countdown_; }
  CShutdownWaitDlg& Wait() { return wait_; }

  int m_nChoice = kChoiceNow;
  std::string m_strMinutes = "60";
  std::string m_strMessage;
  std::string m_strMinutesLabel;

 private:
  CManagerFrame& frame_;
  CShutdownCountdownDlg countdown_;
  CShutdownWaitDlg wait_;
  IStatusDialogView& countdownView_;
  IStatusDialogView& waitView_;
};

}  // namespace qn::manager
