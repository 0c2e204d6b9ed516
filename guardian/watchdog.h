// The guardian's watchdog: starts the server's service when it finds it
// stopped, then creates the server's Monitor object every 30 seconds until
// that works and calls GetNbrConnections on it every SecCheckInterval seconds
// while it answers. A dead or hung server is restarted (the KickOffApp
// command between its stop and its start), at most once per 240 seconds;
// three failures without an answered call between them stop the server and
// end the guardian.
//
// Everything runs on the caller's thread: a call or creation that does not
// end within 100 seconds fails at its deadline (the runtime's time limit), so
// no second thread watches it.
#pragma once
#include <string>

#include "guardian/watchdog_host.h"

namespace guardian {

inline constexpr const char* kServerService = "QuillnetServer";
inline constexpr const char* kGuardianService = "QuillnetGuardian";

// The watchdog's fixed times (only a scaled clock makes them shorter).
inline constexpr Duration kConnectPause = std::chrono::seconds{30};  // before each creation
inline constexpr Duration kCallLimit = std::chrono::seconds{100};    // a creation or a call
inline constexpr Duration kRestartGap = std::chrono::seconds{240};   // between two restarts
inline constexpr Duration kStartPause = std::chrono::seconds{30};    // before each start of a restart
inline constexpr Duration kKickOffLimit = std::chrono::seconds{120};
inline constexpr int kFailuresToGiveUp = 3;
// Creations that find the server stopping, in a row, before it is restarted.
inline constexpr int kStoppingCreations = 4;
// Room for KickOffApp with its terminator; a longer command is not run.
inline constexpr size_t kKickOffAppRoom = 100;

enum class WatchdogEnd { kStopped, kGaveUp };

struct WatchdogHosts {
  IClock& clock;
  IServices& services;
  IMonitor& monitor;
  ILauncher& launcher;
  ILog& log;
};

// What a failed creation's status says, as the low 16 bits of it read: 5 no
// server (or no answer in time), 6 the server is going away; others are
// counted and nothing more.
unsigned CreationFailureCode(qn::automation::Status status);

class CWatchdog {
 public:
  // `timeLastRestart`: the guardian's start, so that no restart happens
  // within its first 240 seconds.
  CWatchdog(const WatchdogHosts& hosts, Settings settings, TimePoint timeLastRestart);

  // Runs until the guardian stops or gives up.
  WatchdogEnd Run();

  int FailureCount() const { return m_nFailures; }

 private:
  // Thrown by the waits and by the third failure; caught by Run.
  struct Ended {
    WatchdogEnd how;
  };
  // Whether a restart ran at once or waited for the 240 seconds to pass.
  enum class Restart { kAtOnce, kDeferred };

  void StartStoppedServer();
  // One creation and, when it worked, calls until one fails.
  void ConnectAndProbe();
  void ProbeUntilFailure();
  // Counts the failure that asked for the restart, unless the restart had to
  // wait: a server that dies again soon after a restart is not given up for it.
  void CountUnlessDeferred(Restart how);
  Restart RestartServer(const std::string& why);
  void CountFailure();
  void RunKickOffApp(const std::string& commandLine);
  void StopServer();
  void Sleep(Duration d);

  WatchdogHosts m_hosts;
  Settings m_settings;
  Duration m_checkInterval;
  Duration m_delayBeforeCheck;
  TimePoint m_timeLastRestart;
  int m_nFailures = 0;
  int m_nStoppingCreations = 0;
};

}  // namespace guardian
