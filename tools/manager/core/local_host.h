// The manager's surroundings on this machine: settings in the registry
// store, files, programs started with posix_spawn, the service control
// stand-in and the running server's Monitor object.
#pragma once
#include <string>

#include "tools/manager/core/manager_host.h"

namespace qn::manager {

class LocalSettings : public ISettings {
 public:
  uint32_t ReadDword(const std::string& section, const std::string& name, uint32_t def) override;
  void WriteDword(const std::string& section, const std::string& name, uint32_t value) override;
  std::string ReadString(const std::string& section, const std::string& name, const std::string& def) override;
  void WriteString(const std::string& section, const std::string& name, const std::string& value) override;
  bool IsOdbcTypeMsSql() override;
};

class LocalFileSystem : public IFileSystem {
 public:
  bool Exists(const std::string& path) override;
  bool IsExecutable(const std::string& path) override;
  std::optional<std::string> FindNoCase(const std::string& dir, const std::string& name) override;
};

// The child gets the default actions of SIGPIPE and SIGCHLD, an empty signal
// mask and only the descriptors not closed on exec; it is reaped by a thread
// of its own when it ends.
class LocalSpawner : public ISpawner {
 public:
  int Spawn(const std::string& program, const std::vector<std::string>& argv) override;
};

class LocalServiceControl : public IServiceControl {
 public:
  uint32_t GetServiceState(const std::string& name) override;
  bool StartService(const std::string& name) override;
  bool StopService(const std::string& name) override;
};

// Creations and calls each limited to kMonitorLimitMs.
inline constexpr int kMonitorLimitMs = 5000;
class LocalMonitorFactory : public IMonitorFactory {
 public:
  std::unique_ptr<IMonitor> Create() override;
};

// All of it for one run of the program.
struct LocalManager {
  LocalManager();
  // The host, without the view and the main window's timers.
  ManagerHost Host();

  LocalSettings settings;
  LocalFileSystem files;
  LocalSpawner spawner;
  LocalServiceControl services;
  LocalMonitorFactory monitors;
};

}  // namespace qn::manager
