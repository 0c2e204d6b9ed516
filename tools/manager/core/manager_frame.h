// The main window's logic: the buttons and what they start, the display of
// the server's state (title, start/stop bitmaps, animation, which buttons
// can be used), the server's start through the guardian and its stop, and
// the window's remembered place. The window itself is the view
// (IManagerView); timers 2 (state poll) and 4 (start check) are its timers.
#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tools/manager/core/button_table.h"
#include "tools/manager/core/launcher.h"
#include "tools/manager/core/manager_host.h"

namespace qn::manager {

class CShutdownDlg;

inline constexpr int kPollTimer = 2;
inline constexpr int kPollMs = 60000;
inline constexpr int kStartCheckTimer = 4;
inline constexpr int kStartCheckMs = 25000;
// While the server or the guardian is still starting when the start check
// fires, it looks again every second for at most this many times.
inline constexpr int kStartRecheckMs = 1000;
inline constexpr int kStartRechecks = 120;
// A burst of moves is written once, this long after its last move.
inline constexpr int kPositionTimer = 7;
inline constexpr int kPositionMs = 300;

// Where a window with the client area at (left, top) goes so that it lies
// on the screen: each axis on which it sticks out is moved to the screen's
// edge. `frame` is what the window adds around its client area.
struct Margins {
  int left = 0, top = 0, right = 0, bottom = 0;
};
struct ScreenArea {
  int x = 0, y = 0, width = 0, height = 0;
};
struct Point {
  int x = 0, y = 0;
  bool operator==(const Point&) const = default;
};
Point PlaceClientArea(int left, int top, const Margins& frame, const ScreenArea& screen);

class CManagerFrame {
 public:
  // The modeless countdown and wait dialogs, each with its own timers.
  struct DialogViews {
    IStatusDialogView* countdown = nullptr;
    ITimers* countdownTimers = nullptr;
    IStatusDialogView* wait = nullptr;
    ITimers* waitTimers = nullptr;
  };
  CManagerFrame(const ManagerHost& host, const DialogViews& dialogs);
  ~CManagerFrame();
  CManagerFrame(const CManagerFrame&) = delete;
  CManagerFrame& operator=(const CManagerFrame&) = delete;

  // Reads `Left` and `Top`: where the client area goes.
  Point StoredPosition();
  // Reads the settings, decides which buttons can be used, shows the
  // server's state and starts the state poll.
  void OnCreate();
  void OnCommand(int command);
  void OnTimer(int id);
  // The client area moved to (x, y) on the screen.
  void OnMove(int x, int y);
  // The window goes; the client area's last place is written.
  void OnDestroy(std::optional<Point> position);

  void ShowRunning();
  void ShowStopped();
  void StopServer();

  bool NoMonitorAccess() const { return m_bNoMonitorAccess; }
  void SetNoMonitorAccess() { m_bNoMonitorAccess = true; }
  uint32_t LastState() const { return m_nLastState; }
  bool CompactAllowed() const { return m_bCompactAllowed; }
  bool ButtonEnabled(int command) const;
  const std::string& CommandLine(int command) const;
  const std::string& ConnectorPath() const { return m_strConnectorPath; }
  CShutdownDlg& ShutdownDlg() { return *shutdown_; }
  IManagerView& View() { return *host_.view; }
  IMonitorFactory& Monitors() { return *host_.monitors; }

 private:
  void OnStartStop();
  void OnStartCheck();
  void OnConnector();
  void Launch(const ButtonEntry& button);
  bool RunTest(const ButtonEntry& button, bool configured);
  void Enable(int command, bool enabled);
  void ReportWinExecError(int result, const char* message);
  uint32_t ServerState();

  ManagerHost host_;
  Launcher launcher_;
  std::unique_ptr<CShutdownDlg> shutdown_;
  std::map<int, std::string> commands_;
  std::map<int, bool> testPassed_;
  std::map<int, bool> enabled_;
  std::string m_strConnectorPath;
  bool m_bCompactAllowed = false;
  bool m_bNoMonitorAccess = false;
  uint32_t m_nLastState = kStateStopped;
  int startRechecks_ = 0;
  std::optional<Point> pendingPosition_;
  std::optional<Point> writtenPosition_;
};

}  // namespace qn::manager
