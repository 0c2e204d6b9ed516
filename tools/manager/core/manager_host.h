// What the manager's logic needs from around it, as small interfaces: the
// window and its dialogs, timers, the service control, the server's Monitor
// object, settings, files and starting programs. The program has real ones;
// the tests have fakes.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qn::manager {

// Window timers of one window: a timer fires every `milliseconds` until
// killed; setting a running one again starts its period afresh. The owner
// is told through its OnTimer(id).
class ITimers {
 public:
  virtual ~ITimers() = default;
  virtual void SetTimer(int id, int milliseconds) = 0;
  virtual void KillTimer(int id) = 0;
};

// The start/stop button's three sets of bitmaps.
enum class StartStopLook { Stopped, Running, Transitional };
enum class Cursor { Wait, AppStarting };
enum class Icon { None, Exclamation };

// The main window as the logic sees it.
class IManagerView {
 public:
  virtual ~IManagerView() = default;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetStartStopLook(StartStopLook look) = 0;
  virtual void EnableButton(int command, bool enabled) = 0;
  // Paints the title and the start/stop button now: the next call may block
  // the window for a while.
  virtual void RedrawNow() = 0;
  virtual void StartAnimation() = 0;
  virtual void StopAnimation() = 0;
  virtual void MessageBox(const std::string& text, Icon icon) = 0;
  // Cursors nest: each BeginCursor is ended by one EndCursor.
  virtual void BeginCursor(Cursor cursor) = 0;
  virtual void EndCursor() = 0;
  // Runs the shutdown dialog (143) modally; true for OK. The dialog's
  // logic (CShutdownDlg) holds the values and checks them.
  virtual bool RunShutdownDialog() = 0;
  // SW_RESTORE, then active.
  virtual void RestoreMainWindow() = 0;
  // The open-file dialog for the client program; nullopt when cancelled.
  virtual std::optional<std::string> AskClientProgram(const std::string& initialDir) = 0;
  // Destroys the main window: the program ends.
  virtual void CloseMainWindow() = 0;
};

// A modeless dialog with one text line (the countdown 136, the wait 144).
class IStatusDialogView {
 public:
  virtual ~IStatusDialogView() = default;
  virtual void SetText(const std::string& text) = 0;
  virtual void ShowCentered() = 0;
  virtual void Hide() = 0;
};

// Service states as the service control reports them, and 123 when a query
// fails.
inline constexpr uint32_t kStateStopped = 1;
inline constexpr uint32_t kStateStartPending = 2;
inline constexpr uint32_t kStateRunning = 4;
inline constexpr uint32_t kStateUnknown = 123;

class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  virtual uint32_t GetServiceState(const std::string& name) = 0;
  // Starts and waits until it runs (true also when it ran already).
  virtual bool StartService(const std::string& name) = 0;
  // Stops and waits while it is stop-pending.
  virtual bool StopService(const std::string& name) = 0;
};

// One created Monitor object of the running server. A call that fails (the
// server's refusal, a lost server, no answer in time) returns false or
// nullopt: what the callers treat as the call's OLE exception.
class IMonitor {
 public:
  virtual ~IMonitor() = default;
  virtual bool SendGlobalMsgToAll(const std::string& text, int16_t style) = 0;
  virtual bool AllowNewConnections(bool allow) = 0;
  virtual std::optional<int32_t> GetNbrConnections() = 0;
};

class IMonitorFactory {
 public:
  virtual ~IMonitorFactory() = default;
  // Creates "QuillnetServer.Monitor"; null when that fails or takes too long.
  virtual std::unique_ptr<IMonitor> Create() = 0;
};

// Values under "SOFTWARE\Brenlo\Quillnet Server". Reads give `def` on any
// failure; failed writes are ignored.
class ISettings {
 public:
  virtual ~ISettings() = default;
  virtual uint32_t ReadDword(const std::string& section, const std::string& name, uint32_t def) = 0;
  virtual void WriteDword(const std::string& section, const std::string& name, uint32_t value) = 0;
  virtual std::string ReadString(const std::string& section, const std::string& name,
                                 const std::string& def) = 0;
  virtual void WriteString(const std::string& section, const std::string& name,
                           const std::string& value) = 0;
  // "ODBCType" under "General" is "MSSQL".
  virtual bool IsOdbcTypeMsSql() = 0;
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  // The file's status can be read.
  virtual bool Exists(const std::string& path) = 0;
  // A regular file this process may run.
  virtual bool IsExecutable(const std::string& path) = 0;
  // `name` in `dir` without regard to case: its path, or nullopt.
  virtual std::optional<std::string> FindNoCase(const std::string& dir, const std::string& name) = 0;
};

// Starts a program without a shell and without waiting for it: 0, or the
// errno of the failure.
class ISpawner {
 public:
  virtual ~ISpawner() = default;
  virtual int Spawn(const std::string& program, const std::vector<std::string>& argv) = 0;
};

// Everything the manager's logic works with.
struct ManagerHost {
  IManagerView* view = nullptr;
  ITimers* timers = nullptr;  // the main window's
  IServiceControl* services = nullptr;
  IMonitorFactory* monitors = nullptr;
  ISettings* settings = nullptr;
  IFileSystem* files = nullptr;
  ISpawner* spawner = nullptr;
  std::string programDir;     // data files; no trailing slash
  std::string executableDir;  // where qnman32 lies; no trailing slash
  std::string searchPath;     // $PATH
};

}  // namespace qn::manager
