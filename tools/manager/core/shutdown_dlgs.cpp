#include "tools/manager/core/shutdown_dlgs.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tools/manager/core/manager_texts.h"

namespace qn::manager {

namespace {

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Broadcasts are best effort: a server that cannot be told still goes down.
void SendToAll(IMonitor& monitor, const std::string& text) {
  if (!text.empty()) monitor.SendGlobalMsgToAll(text, 0);
}

}  // namespace

int MinutesOfText(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::optional<int> ValidMinutes(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  if (begin == end) return std::nullopt;
  int value = 0;
  for (size_t i = begin; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > kMaxMinutes) return std::nullopt;
  }
  if (value < kMinMinutes || value > kMaxMinutes) return std::nullopt;
  return value;
}

std::string UsersConnectedText(int32_t connections) {
  return Format(connections == 1 ? texts::kOneUserFormat : texts::kUsersFormat, connections);
}

// ---- The countdown ----------------------------------------------------------

void CShutdownCountdownDlg::Start(int minutes) {
  minutes_ = minutes - 1;
  seconds_ = 59;
  ShowText();
  timers_.SetTimer(kCountdownTimer, kCountdownMs);
}

void CShutdownCountdownDlg::ShowText() {
  text_ = Format(texts::kCountdownFormat, minutes_, seconds_);
  view_.SetText(text_);
}

void CShutdownCountdownDlg::Broadcast(const char* text) {
  if (std::unique_ptr<IMonitor> monitor = frame_.Monitors().Create()) SendToAll(*monitor, text);
}

void CShutdownCountdownDlg::OnTimer(int id) {
  if (id != kCountdownTimer) return;
  if (seconds_ > 0) {
    --seconds_;
  } else if (minutes_ == 0) {
    Stop();
    // Without the Monitor object the members are not told, but the server
    // goes down all the same.
    Broadcast(texts::kShuttingDown);
    frame_.View().RestoreMainWindow();
    view_.Hide();
    frame_.StopServer();
    return;
  } else if (minutes_ == 1) {
    // Without the Monitor object this warning is skipped and the count
    // goes on, rather than staying at 01:00 for good.
    Broadcast(texts::kOneMinuteWarning);
    minutes_ = 0;
    seconds_ = 59;
  } else {
    --minutes_;
    seconds_ = 59;
  }
  ShowText();
}

// Cancel takes back the refusal of new connections, as the wait's Cancel
// does: a server whose shutdown was called off must take members again.
void CShutdownCountdownDlg::OnCancel() {
  Stop();
  view_.Hide();
  std::unique_ptr<IMonitor> monitor = frame_.Monitors().Create();
  if (monitor && !monitor->AllowNewConnections(true)) frame_.View().MessageBox(texts::kFailedAllow, Icon::None);
}

// ---- The wait for the members -------------------------------------------------

void CShutdownWaitDlg::Start(int32_t connections) {
  connections_ = connections;
  countFailing_ = false;
  view_.SetText(UsersConnectedText(connections));
  timers_.SetTimer(kWaitTimer, kWaitMs);
}

void CShutdownWaitDlg::OnTimer(int id) {
  if (id != kWaitTimer) return;
  std::unique_ptr<IMonitor> monitor = frame_.Monitors().Create();
  if (!monitor) return;
  const std::optional<int32_t> connections = monitor->GetNbrConnections();
  if (!connections) {
    // The last count stays; the box is shown once per run of failures (a
    // box left open would otherwise gather one more each tick).
    if (!countFailing_) {
      countFailing_ = true;
      frame_.View().MessageBox(texts::kFailedCount, Icon::None);
    }
    return;
  }
  countFailing_ = false;
  if (*connections == 0) {
    Stop();
    monitor.reset();
    frame_.View().RestoreMainWindow();
    view_.Hide();
    frame_.StopServer();
    return;
  }
  view_.SetText(UsersConnectedText(*connections));
  connections_ = *connections;
}

void CShutdownWaitDlg::OnCancel() {
  Stop();
  view_.Hide();
  std::unique_ptr<IMonitor> monitor = frame_.Monitors().Create();
  if (monitor && !monitor->AllowNewConnections(true)) frame_.View().MessageBox(texts::kFailedAllow, Icon::None);
}

// ---- The shutdown dialog ------------------------------------------------------

CShutdownDlg::CShutdownDlg(CManagerFrame& frame, const CManagerFrame::DialogViews& views)
    : m_strMessage(texts::kMessageInitial),
      m_strMinutesLabel(texts::kMinutesLabel),
      frame_(frame),
      countdown_(frame, *views.countdown, *views.countdownTimers),
      wait_(frame, *views.wait, *views.waitTimers),
      countdownView_(*views.countdown),
      waitView_(*views.wait) {}

void CShutdownDlg::OnNow() { m_strMessage = texts::kMessageNow; }

void CShutdownDlg::OnIn() { m_strMessage = Format(texts::kMessageInFormat, MinutesOfText(m_strMinutes)); }

void CShutdownDlg::OnLogoff() { m_strMessage = texts::kMessageLogoff; }

void CShutdownDlg::OnMinutesChanged() {
  const int minutes = MinutesOfText(m_strMinutes);
  if (minutes == 1) {
    m_strMinutesLabel = texts::kMinuteLabel;
    m_strMessage = Format(texts::kMessageOneMinuteFormat, minutes);
  } else {
    m_strMinutesLabel = texts::kMinutesLabel;
    m_strMessage = Format(texts::kMessageMinutesFormat, minutes);
  }
  m_nChoice = kChoiceIn;
}

std::optional<std::string> CShutdownDlg::Validate() {
  if (!ValidMinutes(m_strMinutes)) return std::string(texts::kMinutesRange);
  if (m_strMessage.size() > kMaxMessage) m_strMessage.resize(kMaxMessage);
  return std::nullopt;
}

void CShutdownDlg::OnOK() {
  IManagerView& view = frame_.View();
  std::unique_ptr<IMonitor> monitor;
  if (!frame_.NoMonitorAccess()) {
    monitor = frame_.Monitors().Create();
    if (!monitor) {
      view.MessageBox(texts::kNoMonitorAccess, Icon::None);
      frame_.SetNoMonitorAccess();
    }
  }
  switch (m_nChoice) {
    case kChoiceNow:
      if (monitor) SendToAll(*monitor, m_strMessage);
      monitor.reset();
      frame_.StopServer();
      break;
    case kChoiceIn:
      if (monitor) {
        SendToAll(*monitor, m_strMessage);
        if (!monitor->AllowNewConnections(false)) view.MessageBox(texts::kFailedAllow, Icon::None);
      }
      countdown_.Start(ValidMinutes(m_strMinutes).value_or(kMinMinutes));
      countdownView_.ShowCentered();
      break;
    case kChoiceLogoff: {
      if (!monitor) {
        view.MessageBox(texts::kLogoffNeedsAccess, Icon::None);
        return;
      }
      // A count that cannot be read must not start a wait with a made-up
      // number, nor refuse members for nothing.
      const std::optional<int32_t> connections = monitor->GetNbrConnections();
      if (!connections) {
        view.MessageBox(texts::kFailedCount, Icon::None);
        return;
      }
      if (!monitor->AllowNewConnections(false)) view.MessageBox(texts::kFailedAllow, Icon::None);
      if (*connections != 0) {
        SendToAll(*monitor, m_strMessage);
        wait_.Start(*connections);
        waitView_.ShowCentered();
      } else {
        monitor.reset();
        frame_.StopServer();
      }
      break;
    }
  }
}

void CShutdownDlg::OnDestroy() {
  countdown_.Stop();
  wait_.Stop();
}

}  // namespace qn::manager
