// Event-log sources: the programs announce themselves under a source name
// with a message file. Events go to syslog with the source name as its ident;
// the registration stays in the registry store under the key below.
#pragma once
#include <filesystem>
#include <string>

inline constexpr const char* kEventLogApplicationKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

inline constexpr const char* kServerEventSource = "Quillnet Server";
inline constexpr const char* kGuardianEventSource = "QN Svr Guardian";
inline constexpr const char* kMonitorEventSource = "QN Svr Monitor";
inline constexpr const char* kManagerEventSource = "QN Svr Manager";
inline constexpr const char* kPerfMonEventSource = "QN Svr PerfMon";

struct EventLogSourceEntry {
  const char* source;
  const char* messageFile;
};

// The five sources the install verb registers, with their message files.
inline constexpr EventLogSourceEntry kEventLogSources[] = {
    {kServerEventSource, "%SystemRoot%\\System32\\QNSvr32Events.DLL"},
    {kGuardianEventSource, "%SystemRoot%\\System32\\QNGuardEvents.DLL"},
    {kMonitorEventSource, "%SystemRoot%\\System32\\QNSvrMonEvents.DLL"},
    {kManagerEventSource, "%SystemRoot%\\System32\\QNHost32Events.DLL"},
    {kPerfMonEventSource, "%SystemRoot%\\System32\\QNPerfEvents.DLL"},
};

// Writes the source's "EventMessageFile" (REG_EXPAND_SZ) and "TypesSupported"
// (7); 0 on success, 1 on failure.
int InstallEventLogSource(const std::string& source, const std::string& messageFile);

namespace qn::event_log {

// The directory %SystemRoot% stands for: $QN_ROOT/var/lib/quillnet/system.
std::filesystem::path SystemRootDirectory();

// %NAME% references replaced: SystemRoot (and windir) by SystemRootDirectory(),
// any other name by the environment variable of that name without regard to
// case; unknown names stay as written. False when the result with its
// terminating zero needs more than `limit` characters.
bool ExpandEnvironmentStrings(const std::string& text, std::string& out, size_t limit = 260);

// A path written the Windows way ("...\System32\X.DLL") as a file here:
// backslashes become slashes, and an existing file is found without regard
// to the case of its name.
std::filesystem::path ResolveMessageFile(const std::string& expanded);

}  // namespace qn::event_log

// Writes an error event: to the open source of this process, or under the
// program's name when none is open (its message file is missing).
void ReportEventError(const std::string& text);

class CEventLogSource {
 public:
  // Opens the registered source: its message file must exist. `ok` tells
  // whether the source is open; the caller decides what a failure means.
  CEventLogSource(const std::string& source, int flag, bool& ok);
  ~CEventLogSource();
  CEventLogSource(const CEventLogSource&) = delete;
  CEventLogSource& operator=(const CEventLogSource&) = delete;

  bool IsOpen() const { return m_hEventSource; }
  bool MessageFileLoaded() const { return m_hModule; }
  int Flag() const { return m_flag; }

 private:
  bool m_hEventSource = false;
  bool m_hModule = false;
  int m_flag;
};
