#include "tools/manager/core/local_host.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/monitor_driver.h"
#include "common/registry.h"
#include "common/service_state.h"
#include "common/service_verbs.h"
#include "platform/path_layer.h"
#include "platform/paths.h"
#include "platform/process_start.h"

namespace qn::manager {

uint32_t LocalSettings::ReadDword(const std::string& section, const std::string& name, uint32_t def) {
  CQuillnetRegistry registry;
  return registry.ReadDWORD(section, name, def);
}

void LocalSettings::WriteDword(const std::string& section, const std::string& name, uint32_t value) {
  CQuillnetRegistry registry;
  registry.WriteDWORD(section, name, value);
}

std::string LocalSettings::ReadString(const std::string& section, const std::string& name, const std::string& def) {
  CQuillnetRegistry registry;
  return registry.ReadString(section, name, def);
}

void LocalSettings::WriteString(const std::string& section, const std::string& name, const std::string& value) {
  CQuillnetRegistry registry;
  registry.WriteString(section, name.c_str(), value.c_str());
}

bool LocalSettings::IsOdbcTypeMsSql() { return ::IsOdbcTypeMsSql(); }

bool LocalFileSystem::Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool LocalFileSystem::IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> LocalFileSystem::FindNoCase(const std::string& dir, const std::string& name) {
  const std::string found = qn::path::FindExistingNoCase(dir + "/" + name);
  if (!Exists(found)) return std::nullopt;
  return found;
}

int LocalSpawner::Spawn(const std::string& program, const std::vector<std::string>& argv) {
  qn::ChildSetup setup;
  // Already found; argv[0] stays as the command line gave it.
  setup.program = program;
  setup.searchPath = false;
  pid_t pid = -1;
  const int result = qn::SpawnChild(argv.empty() ? std::vector<std::string>{program} : argv, setup, &pid);
  if (result != 0) return result;
  qn::ReapWhenEnded(pid);
  return 0;
}

uint32_t LocalServiceControl::GetServiceState(const std::string& name) {
  return static_cast<uint32_t>(::GetServiceState(name));
}

bool LocalServiceControl::StartService(const std::string& name) { return ::StartService(name); }

bool LocalServiceControl::StopService(const std::string& name) { return ::StopService(name); }

namespace {

// The server's refusal (a dispatch exception) counts as a failed call like
// the runtime's own failures: the manager goes on either way.
class DriverMonitor : public IMonitor {
 public:
  explicit DriverMonitor(std::unique_ptr<CMonitorDriver> driver) : driver_(std::move(driver)) {}
  ~DriverMonitor() override { driver_->ReleaseDispatch(); }

  bool SendGlobalMsgToAll(const std::string& text, int16_t style) override {
    return Try([&] { driver_->SendGlobalMsgToAll(text, style); });
  }
  bool AllowNewConnections(bool allow) override {
    return Try([&] { driver_->AllowNewConnections(allow); });
  }
  std::optional<int32_t> GetNbrConnections() override {
    long connections = 0;
    if (!Try([&] { connections = driver_->GetNbrConnections(); })) return std::nullopt;
    return static_cast<int32_t>(connections);
  }

 private:
  template <class Call>
  static bool Try(Call call) {
    try {
      call();
      return true;
    } catch (const COleException&) {
    } catch (const COleDispatchException&) {
    }
    return false;
  }

  std::unique_ptr<CMonitorDriver> driver_;
};

}  // namespace

std::unique_ptr<IMonitor> LocalMonitorFactory::Create() {
  auto driver = std::make_unique<CMonitorDriver>();
  if (!driver->CreateDispatch(std::chrono::milliseconds(kMonitorLimitMs))) return nullptr;
  return std::make_unique<DriverMonitor>(std::move(driver));
}

LocalManager::LocalManager() = default;

ManagerHost LocalManager::Host() {
  ManagerHost host;
  host.services = &services;
  host.monitors = &monitors;
  host.settings = &settings;
  host.files = &files;
  host.spawner = &spawner;
  host.programDir = qn::paths::ProgramDir().string();
  std::string exeDir = qn::paths::ExecutableDir().string();
  while (exeDir.size() > 1 && exeDir.back() == '/') exeDir.pop_back();
  host.executableDir = exeDir;
  const char* path = std::getenv("PATH");
  host.searchPath = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  return host;
}

}  // namespace qn::manager
