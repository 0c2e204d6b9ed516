#include "tools/manager/core/manager_frame.h"

#include "tools/manager/core/manager_texts.h"
#include "tools/manager/core/shutdown_dlgs.h"

namespace qn::manager {

namespace {

// The cursor for the length of a scope.
class CursorScope {
 public:
  CursorScope(IManagerView& view, Cursor cursor) : view_(view) { view_.BeginCursor(cursor); }
  ~CursorScope() { view_.EndCursor(); }
  CursorScope(const CursorScope&) = delete;
  CursorScope& operator=(const CursorScope&) = delete;

 private:
  IManagerView& view_;
};

std::string Title(const char* suffix) { return std::string(texts::kBaseTitle) + suffix; }

}  // namespace

Point PlaceClientArea(int left, int top, const Margins& frame, const ScreenArea& screen) {
  // In 64 bits: a stored position near the ends of its 32 bits must not wrap.
  const int64_t windowLeft = int64_t{left} - frame.left;
  const int64_t windowRight = int64_t{left} + kClientWidth + frame.right;
  const int64_t windowTop = int64_t{top} - frame.top;
  const int64_t windowBottom = int64_t{top} + kClientHeight + frame.bottom;
  Point client{left, top};
  if (windowRight > int64_t{screen.x} + screen.width || windowLeft < screen.x) client.x = screen.x + frame.left;
  if (windowBottom > int64_t{screen.y} + screen.height || windowTop < screen.y) client.y = screen.y + frame.top;
  return client;
}

CManagerFrame::CManagerFrame(const ManagerHost& host, const DialogViews& dialogs)
    : host_(host), launcher_(host_), shutdown_(std::make_unique<CShutdownDlg>(*this, dialogs)) {}

CManagerFrame::~CManagerFrame() = default;

Point CManagerFrame::StoredPosition() {
  // Stored as DWORDs, meant as signed: a window left of a second screen.
  const auto left = static_cast<int32_t>(host_.settings->ReadDword(texts::kManagerSection, texts::kLeftValue, 0));
  const auto top = static_cast<int32_t>(host_.settings->ReadDword(texts::kManagerSection, texts::kTopValue, 30));
  return Point{left, top};
}

void CManagerFrame::OnCreate() {
  m_strConnectorPath = host_.settings->ReadString(texts::kManagerSection, texts::kConnectorPathValue, "");
  for (const ButtonEntry& button : Buttons()) {
    std::string line = host_.settings->ReadString(texts::kCommandsSection, std::to_string(button.command), "");
    const bool configured = !line.empty();
    if (!configured && button.program != nullptr) {
      line = button.program;
      if (button.dataFile != nullptr) line += " \"" + host_.programDir + "/" + button.dataFile + "\"";
    }
    commands_[button.command] = line;
    testPassed_[button.command] = RunTest(button, configured);
    Enable(button.command, true);
  }
  m_bCompactAllowed = testPassed_[kCmdCompact];
  const uint32_t state = ServerState();
  if (state == kStateRunning)
    ShowRunning();
  else
    ShowStopped();
  host_.timers->SetTimer(kPollTimer, kPollMs);
}

bool CManagerFrame::RunTest(const ButtonEntry& button, bool configured) {
  switch (button.test) {
    case ButtonTest::None: return true;
    case ButtonTest::DataFile:
      // A configured command brings its own program, which is what counts.
      if (!configured) return host_.files->Exists(host_.programDir + "/" + button.dataFile);
      break;
    case ButtonTest::Compact:
      // By the value's name: the first value of the section need not be it.
      if (host_.settings->IsOdbcTypeMsSql()) return false;
      break;
    case ButtonTest::Program: break;
  }
  return launcher_.ProgramExists(commands_[button.command]);
}

void CManagerFrame::Enable(int command, bool enabled) {
  // A button whose program is missing stays disabled whatever the state.
  const bool on = enabled && testPassed_[command];
  enabled_[command] = on;
  host_.view->EnableButton(command, on);
}

bool CManagerFrame::ButtonEnabled(int command) const {
  auto found = enabled_.find(command);
  return found != enabled_.end() && found->second;
}

const std::string& CManagerFrame::CommandLine(int command) const {
  static const std::string none;
  auto found = commands_.find(command);
  return found == commands_.end() ? none : found->second;
}

uint32_t CManagerFrame::ServerState() { return host_.services->GetServiceState(texts::kServerService); }

void CManagerFrame::ShowRunning() {
  host_.view->SetStartStopLook(StartStopLook::Running);
  Enable(kCmdPerfMon, true);
  Enable(kCmdCompact, false);
  Enable(kCmdMonitor, !m_bNoMonitorAccess);
  host_.view->RedrawNow();
  host_.view->StartAnimation();
  host_.view->SetTitle(Title(texts::kRunningSuffix));
  m_nLastState = kStateRunning;
}

void CManagerFrame::ShowStopped() {
  host_.view->SetStartStopLook(StartStopLook::Stopped);
  Enable(kCmdPerfMon, false);
  Enable(kCmdMonitor, false);
  Enable(kCmdCompact, m_bCompactAllowed);
  host_.view->RedrawNow();
  host_.view->StopAnimation();
  host_.view->SetTitle(Title(texts::kStoppedSuffix));
  m_nLastState = kStateStopped;
}

void CManagerFrame::StopServer() {
  host_.view->SetStartStopLook(StartStopLook::Transitional);
  host_.view->SetTitle(Title(texts::kStoppingSuffix));
  host_.view->RedrawNow();
  if (ServerState() == kStateRunning) {
    // The guardian first, or its watchdog starts the server again.
    host_.services->StopService(texts::kGuardianService);
    host_.services->StopService(texts::kServerService);
  }
  ShowStopped();
}

void CManagerFrame::OnCommand(int command) {
  const ButtonEntry* button = FindButton(command);
  if (button == nullptr || !ButtonEnabled(command)) return;
  switch (button->action) {
    case ButtonAction::StartStop: OnStartStop(); break;
    case ButtonAction::Exit: host_.view->CloseMainWindow(); break;
    case ButtonAction::Connector: OnConnector(); break;
    case ButtonAction::Launch: Launch(*button); break;
    case ButtonAction::LaunchUnchecked: launcher_.WinExec(commands_[command]); break;
  }
}

void CManagerFrame::OnStartStop() {
  CursorScope wait(*host_.view, Cursor::Wait);
  const uint32_t state = ServerState();
  if (state == kStateStopped) {
    host_.view->SetTitle(Title(texts::kInitializingSuffix));
    host_.view->SetStartStopLook(StartStopLook::Transitional);
    host_.view->RedrawNow();
    // A guardian that already runs starts the server only at its next
    // probe, and one that gave up never: start it here too.
    const bool guardianRan = host_.services->GetServiceState(texts::kGuardianService) == kStateRunning;
    host_.services->StartService(texts::kGuardianService);
    if (guardianRan) host_.services->StartService(texts::kServerService);
    if (m_bCompactAllowed) Enable(kCmdCompact, false);
    host_.timers->KillTimer(kPollTimer);
    startRechecks_ = 0;
    host_.timers->SetTimer(kStartCheckTimer, kStartCheckMs);
  } else if (state == kStateRunning) {
    if (host_.view->RunShutdownDialog()) shutdown_->OnOK();
  }
}

void CManagerFrame::OnTimer(int id) {
  switch (id) {
    case kPollTimer: {
      const uint32_t state = ServerState();
      if (state == m_nLastState) return;
      CursorScope wait(*host_.view, Cursor::Wait);
      if (state == kStateRunning)
        ShowRunning();
      else
        ShowStopped();
      host_.timers->SetTimer(kPollTimer, kPollMs);
      return;
    }
    case kStartCheckTimer: OnStartCheck(); return;
    case kPositionTimer:
      host_.timers->KillTimer(kPositionTimer);
      if (pendingPosition_ && pendingPosition_ != writtenPosition_) {
        host_.settings->WriteDword(texts::kManagerSection, texts::kLeftValue,
                                   static_cast<uint32_t>(pendingPosition_->x));
        host_.settings->WriteDword(texts::kManagerSection, texts::kTopValue,
                                   static_cast<uint32_t>(pendingPosition_->y));
        writtenPosition_ = pendingPosition_;
      }
      pendingPosition_.reset();
      return;
    default: host_.view->MessageBox(texts::kInvalidTimer, Icon::None);
  }
}

void CManagerFrame::OnStartCheck() {
  host_.timers->KillTimer(kStartCheckTimer);
  const uint32_t state = ServerState();
  if (state == kStateRunning) {
    ShowRunning();
  } else {
    const bool starting = state == kStateStartPending ||
                          host_.services->GetServiceState(texts::kGuardianService) == kStateStartPending;
    if (starting && startRechecks_ < kStartRechecks) {
      ++startRechecks_;
      host_.timers->SetTimer(kStartCheckTimer, kStartRecheckMs);
      return;
    }
    host_.view->MessageBox(texts::kUnableToStart, Icon::None);
    ShowStopped();
  }
  host_.timers->SetTimer(kPollTimer, kPollMs);
}

void CManagerFrame::OnMove(int x, int y) {
  pendingPosition_ = Point{x, y};
  host_.timers->SetTimer(kPositionTimer, kPositionMs);
}

void CManagerFrame::OnDestroy(std::optional<Point> position) {
  host_.timers->KillTimer(kPollTimer);
  host_.timers->KillTimer(kStartCheckTimer);
  if (position) pendingPosition_ = position;
  OnTimer(kPositionTimer);
  shutdown_->OnDestroy();
}

void CManagerFrame::ReportWinExecError(int result, const char* message) {
  if (message == nullptr) return;
  if (std::optional<std::string> text = WinExecErrorText(result, message))
    host_.view->MessageBox(*text, Icon::Exclamation);
}

void CManagerFrame::Launch(const ButtonEntry& button) {
  int result;
  {
    CursorScope starting(*host_.view, Cursor::AppStarting);
    result = launcher_.WinExec(commands_[button.command]);
  }
  ReportWinExecError(result, button.failure);
}

void CManagerFrame::OnConnector() {
  std::string path = m_strConnectorPath;
  if (path.empty())
    path = host_.files->FindNoCase(host_.programDir, texts::kClientDefaultName)
               .value_or(host_.programDir + "/" + texts::kClientDefaultName);
  if (!host_.files->Exists(path)) {
    std::optional<std::string> chosen = host_.view->AskClientProgram(host_.programDir);
    if (!chosen) return;
    path = *chosen;
    m_strConnectorPath = path;
    host_.settings->WriteString(texts::kManagerSection, texts::kConnectorPathValue, path);
  }
  int result;
  {
    CursorScope starting(*host_.view, Cursor::AppStarting);
    result = launcher_.Run(path);
  }
  ReportWinExecError(result, texts::kFailConnector);
}

}  // namespace qn::manager
