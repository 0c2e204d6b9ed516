#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/registry_store.h"

extern char** environ;

namespace qn::svc {
namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// Environment marks of a program started by the stand-in.
constexpr const char* kEnvService = "QN_SCM_SERVICE";
constexpr const char* kEnvLockFd = "QN_SCM_LOCK_FD";
constexpr const char* kEnvArgs = "QN_SCM_ARGS";
constexpr char kArgSeparator = '\x1f';
// The wait hint of a service that has not reported yet: the time its callers
// give it before they expect its check point to move.
constexpr uint32_t kInitialWaitHintMs = 2000;
// The descriptor number under which the started program finds its lock.
constexpr int kChildLockFd = 3;

std::atomic<long long> g_startTimeoutMs{30000};
std::atomic<long long> g_controlTimeoutMs{30000};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

Error CheckName(std::string_view name) {
  if (name.empty() || name.size() > 256) return kInvalidName;
  for (char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return kInvalidName;
  }
  if (name == "." || name == "..") return kInvalidName;
  return kOk;
}

std::filesystem::path StateFile(std::string_view name, const char* ext) {
  return paths::RunDir() / (Lower(name) + ext);
}

// ---- The lock ---------------------------------------------------------------

int OpenLockFile(std::string_view name) {
  paths::EnsureDir(paths::RunDir());
  return ::open(StateFile(name, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

struct flock WholeFile(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  return fl;
}

// Open-file-description locks: held as long as any descriptor of the
// description stays open (in the service process), and testable without
// taking them, so a query never disturbs a start.
// kAccessDenied when this account may not open the lock: the service's
// run-time state is another account's, and so is the service.
Error CheckLockAccess(std::string_view name) {
  int fd = OpenLockFile(name);
  if (fd >= 0) {
    ::close(fd);
    return kOk;
  }
  return errno == EACCES || errno == EPERM || errno == EROFS ? kAccessDenied : kOk;
}

bool IsLockHeld(std::string_view name) {
  int fd = OpenLockFile(name);
  if (fd < 0) return false;
  struct flock fl = WholeFile(F_WRLCK);
  bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

// ---- The status file --------------------------------------------------------

struct StoredStatus {
  ServiceStatus status;
  bool connected = false;  // the program's dispatcher has taken over
};

bool ReadStatusFile(std::string_view name, StoredStatus& out) {
  std::ifstream in(StateFile(name, ".status"));
  if (!in) return false;
  StoredStatus s;
  int connected = 0;
  in >> s.status.currentState >> s.status.controlsAccepted >> s.status.win32ExitCode >>
      s.status.serviceSpecificExitCode >> s.status.checkPoint >> s.status.waitHint >>
      s.status.processId >> connected;
  if (!in) return false;
  s.connected = connected != 0;
  out = s;
  return true;
}

bool WriteStatusFile(std::string_view name, const StoredStatus& s) {
  auto file = StateFile(name, ".status");
  auto tmp = file;
  tmp += "." + std::to_string(::getpid()) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    out << s.status.currentState << ' ' << s.status.controlsAccepted << ' '
        << s.status.win32ExitCode << ' ' << s.status.serviceSpecificExitCode << ' '
        << s.status.checkPoint << ' ' << s.status.waitHint << ' ' << s.status.processId << ' '
        << (s.connected ? 1 : 0) << '\n';
    if (!out.flush()) return false;
  }
  return ::rename(tmp.c_str(), file.c_str()) == 0;
}

// ---- The service database ---------------------------------------------------

Error OpenServiceKey(std::string_view name, reg::KeyHandle& key) {
  if (Error e = CheckName(name)) return e;
  auto& store = reg::Store::Default();
  const reg::Status opened = store.OpenKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                                           std::string(kServicesKey) + std::string(name), key);
  if (opened == reg::kAccessDenied) return kAccessDenied;
  if (opened != reg::kOk) return kServiceDoesNotExist;
  // Keys such as the event log's hold registrations but no program.
  reg::Value image;
  if (store.QueryValue(key, "ImagePath", image) != reg::kOk) return kServiceDoesNotExist;
  return kOk;
}

uint32_t DwordOf(const reg::Value& v, uint32_t def) {
  if (v.type != reg::kDword || v.data.size() < 4) return def;
  return uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
         uint32_t(v.data[3]) << 24;
}

// The program and its arguments: a double-quoted program may be followed by
// arguments; otherwise the whole text is the program.
std::vector<std::string> SplitImagePath(const std::string& image) {
  std::vector<std::string> argv;
  if (image.empty() || image[0] != '"') {
    argv.push_back(image);
    return argv;
  }
  size_t close = image.find('"', 1);
  if (close == std::string::npos) {
    argv.push_back(image.substr(1));
    return argv;
  }
  argv.push_back(image.substr(1, close - 1));
  std::istringstream rest(image.substr(close + 1));
  std::string arg;
  while (rest >> arg) argv.push_back(arg);
  return argv;
}

ServiceStatus StoppedStatus() { return ServiceStatus{}; }

// ---- Start ------------------------------------------------------------------

// Names being started on this thread, to find dependency circles.
thread_local std::set<std::string> t_starting;

Error WaitUntilRunning(std::string_view name) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(g_startTimeoutMs.load());
  for (;;) {
    ServiceStatus st;
    if (Error e = QueryServiceStatus(name, st)) return e;
    if (st.currentState == kRunning) return kOk;
    if (st.currentState == kStopped) return kServiceDependencyFail;
    if (std::chrono::steady_clock::now() >= deadline) return kRequestTimeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Error StartDependencies(const ServiceConfig& config) {
  for (const auto& dep : config.dependencies) {
    if (dep.empty()) continue;
    reg::KeyHandle key;
    if (OpenServiceKey(dep, key) != kOk) {
      if (IsExternalService(dep)) continue;
      return kServiceDependencyDeleted;
    }
    Error e = StartService(dep);
    if (e == kCircularDependency) return e;
    if (e != kOk && e != kServiceAlreadyRunning) return kServiceDependencyFail;
    if (WaitUntilRunning(dep) != kOk) return kServiceDependencyFail;
  }
  return kOk;
}

std::vector<std::string> ChildEnvironment(std::string_view name,
                                          const std::vector<std::string>& args) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("QN_SCM_")) continue;
    env.emplace_back(entry);
  }
  env.push_back(std::string(kEnvService) + "=" + std::string(name));
  env.push_back(std::string(kEnvLockFd) + "=" + std::to_string(kChildLockFd));
  if (!args.empty()) {
    std::string joined;
    for (size_t i = 0; i < args.size(); ++i) {
      if (i) joined += kArgSeparator;
      joined += args[i];
    }
    env.push_back(std::string(kEnvArgs) + "=" + joined);
  }
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& items) {
  std::vector<char*> out;
  for (auto& s : items) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

Error SpawnDetached(std::string_view name, const std::vector<std::string>& image,
                    const std::vector<std::string>& args, int lockFd, pid_t& pid) {
  auto argvStrings = image;
  auto envStrings = ChildEnvironment(name, args);
  auto argv = CStrings(argvStrings);
  auto envp = CStrings(envStrings);
  auto log = StateFile(name, ".log");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // What the program writes may name members: its owner's only, also when
  // an earlier start made the file.
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ::chmod(log.c_str(), 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, lockFd, kChildLockFd);
  // Nothing else of the starter (its sockets, its locks) reaches the service.
  posix_spawn_file_actions_addclosefrom_np(&actions, kChildLockFd + 1);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == ENOENT || rc == ENOTDIR) return 2;  // ERROR_FILE_NOT_FOUND
  if (rc == EACCES || rc == EPERM) return kAccessDenied;
  if (rc != 0) return kServiceNoThread;
  // The service is detached but still our child until it ends: reap it then.
  try {
    std::thread([p = pid] { ::waitpid(p, nullptr, 0); }).detach();
  } catch (const std::system_error&) {
    // Without a thread the ended program stays a zombie until we end.
  }
  return kOk;
}

// Holds "<name>.start" so that two starters of one service take turns.
class StartGuard {
 public:
  explicit StartGuard(std::string_view name) {
    paths::EnsureDir(paths::RunDir());
    fd_ = ::open(StateFile(name, ".start").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~StartGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  StartGuard(const StartGuard&) = delete;
  StartGuard& operator=(const StartGuard&) = delete;

 private:
  int fd_ = -1;
};

// A service that reported its stop may still be finishing its process; a new
// start waits for that process to end.
bool WaitForStoppedProcess(std::string_view name) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(g_startTimeoutMs.load());
  while (IsLockHeld(name)) {
    StoredStatus s;
    if (!ReadStatusFile(name, s) || s.status.currentState != kStopped) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

Error StartLocked(std::string_view name, const ServiceConfig& config,
                  const std::vector<std::string>& args) {
  if (!WaitForStoppedProcess(name)) return kServiceAlreadyRunning;
  std::filesystem::remove(StateFile(name, ".sock"));

  int lockFd = OpenLockFile(name);
  if (lockFd < 0) return kAccessDenied;
  if (lockFd == kChildLockFd) {
    int moved = ::fcntl(lockFd, F_DUPFD_CLOEXEC, kChildLockFd + 1);
    ::close(lockFd);
    lockFd = moved;
    if (lockFd < 0) return kAccessDenied;
  }
  struct flock fl = WholeFile(F_WRLCK);
  if (::fcntl(lockFd, F_OFD_SETLK, &fl) != 0) {
    ::close(lockFd);
    return kServiceAlreadyRunning;
  }
  StoredStatus pending;
  pending.status.currentState = kStartPending;
  pending.status.waitHint = kInitialWaitHintMs;
  WriteStatusFile(name, pending);

  pid_t pid = 0;
  Error e = SpawnDetached(name, SplitImagePath(config.imagePath), args, lockFd, pid);
  ::close(lockFd);  // the lock now lives in the started program only
  if (e != kOk) {
    StoredStatus stopped;
    stopped.status.win32ExitCode = static_cast<uint32_t>(e);
    WriteStatusFile(name, stopped);
    return e;
  }

  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(g_startTimeoutMs.load());
  for (;;) {
    StoredStatus s;
    if (ReadStatusFile(name, s) && s.connected) return kOk;
    if (!IsLockHeld(name)) return kProcessAborted;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Not connected in time: the program is not left behind half-started.
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  for (int i = 0; i < 200 && IsLockHeld(name); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  StoredStatus stopped;
  stopped.status.win32ExitCode = kRequestTimeout;
  WriteStatusFile(name, stopped);
  return kRequestTimeout;
}

// ---- The control channel ----------------------------------------------------

constexpr size_t kReplyWords = 9;  // error, then the status

void EncodeReply(Error e, const ServiceStatus& s, uint32_t (&words)[kReplyWords]) {
  words[0] = static_cast<uint32_t>(e);
  words[1] = s.serviceType;
  words[2] = s.currentState;
  words[3] = s.controlsAccepted;
  words[4] = s.win32ExitCode;
  words[5] = s.serviceSpecificExitCode;
  words[6] = s.checkPoint;
  words[7] = s.waitHint;
  words[8] = static_cast<uint32_t>(s.processId);
}

Error DecodeReply(const uint32_t (&words)[kReplyWords], ServiceStatus& s) {
  s.serviceType = words[1];
  s.currentState = words[2];
  s.controlsAccepted = words[3];
  s.win32ExitCode = words[4];
  s.serviceSpecificExitCode = words[5];
  s.checkPoint = words[6];
  s.waitHint = words[7];
  s.processId = static_cast<int32_t>(words[8]);
  return static_cast<Error>(words[0]);
}

bool FillSockAddr(const std::filesystem::path& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string& p = path.native();
  if (p.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
  return true;
}

// Reads or writes exactly `size` bytes before the deadline.
bool TransferAll(int fd, void* buf, size_t size, bool reading,
                 std::chrono::steady_clock::time_point deadline) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < size) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
    int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    ssize_t n = reading ? ::recv(fd, p + done, size - done, 0)
                        : ::send(fd, p + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---- The dispatcher (service side) ------------------------------------------

struct Dispatcher {
  std::mutex mutex;
  bool active = false;
  std::string serviceName;  // as installed
  int listenFd = -1;
  int wakePipe[2] = {-1, -1};
  ControlHandler handler;
  bool registered = false;
  ServiceStatus status;
};

Dispatcher& TheDispatcher() {
  static Dispatcher* d = new Dispatcher;  // lives as long as the process
  return *d;
}

}  // namespace

struct StatusHandleImpl {};

namespace {

StatusHandleImpl g_handle;

bool Accepts(uint32_t control, uint32_t accepted) {
  switch (control) {
    case kControlStop: return accepted & kAcceptStop;
    case kControlPause:
    case kControlContinue: return accepted & kAcceptPauseContinue;
    case kControlShutdown: return accepted & kAcceptShutdown;
    default: return true;
  }
}

void ServeControl(Dispatcher& d, int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  uint32_t control = 0;
  if (!TransferAll(fd, &control, sizeof control, true, deadline)) return;
  Error e = kOk;
  ControlHandler handler;
  {
    std::lock_guard lock(d.mutex);
    uint32_t state = d.status.currentState;
    if (!d.registered || state == kStartPending || state == kStopPending) {
      if (control != kControlInterrogate) e = kServiceCannotAcceptControl;
    } else if (state == kStopped) {
      e = kServiceNotActive;
    } else if (!Accepts(control, d.status.controlsAccepted)) {
      e = kInvalidServiceControl;
    }
    if (e == kOk && d.registered) handler = d.handler;
  }
  if (e == kOk && handler) {
    // A handler that throws must not take the control channel down with it.
    try {
      handler(control);
    } catch (...) {
    }
  }
  uint32_t words[kReplyWords];
  {
    std::lock_guard lock(d.mutex);
    EncodeReply(e, d.status, words);
  }
  TransferAll(fd, words, sizeof words, false,
              std::chrono::steady_clock::now() + std::chrono::seconds(5));
}

void ControlThread(Dispatcher& d) {
  for (;;) {
    pollfd fds[2] = {{d.listenFd, POLLIN, 0}, {d.wakePipe[0], POLLIN, 0}};
    int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(d.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ServeControl(d, fd);
    ::close(fd);
  }
}

int InheritedLockFd() {
  const char* name = std::getenv(kEnvService);
  const char* fdText = std::getenv(kEnvLockFd);
  if (name == nullptr || fdText == nullptr || CheckName(name) != kOk) return -1;
  int fd = std::atoi(fdText);
  if (fd < 0) return -1;
  // The marks are inherited by this program's own children too; only the
  // process that really holds the service's lock is the service.
  struct stat held {}, file {};
  if (::fstat(fd, &held) != 0) return -1;
  if (::stat(StateFile(name, ".lock").c_str(), &file) != 0) return -1;
  if (held.st_dev != file.st_dev || held.st_ino != file.st_ino) return -1;
  return fd;
}

std::vector<std::string> StartArguments(const std::string& name) {
  std::vector<std::string> args{name};
  const char* text = std::getenv(kEnvArgs);
  if (text == nullptr) return args;
  std::string_view rest(text);
  for (;;) {
    size_t sep = rest.find(kArgSeparator);
    args.emplace_back(rest.substr(0, sep));
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 1);
  }
  return args;
}

}  // namespace

// ---- The controlling side ---------------------------------------------------

bool IsExternalService(std::string_view name) {
  return EqualNoCase(name, "EventLog") || EqualNoCase(name, "MSSQLServer");
}

uint64_t ServiceOutputEnd(std::string_view name) {
  struct stat st {};
  return ::stat(StateFile(name, ".log").c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string ServiceOutputSince(std::string_view name, uint64_t end, size_t limit) {
  std::ifstream in(StateFile(name, ".log"), std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const auto size = static_cast<uint64_t>(in.tellg());
  // A log cut since (moved away, emptied) is read from its start.
  uint64_t from = end <= size ? end : 0;
  if (size - from > limit) from = size - limit;
  in.seekg(static_cast<std::streamoff>(from));
  std::string text(static_cast<size_t>(size - from), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::filesystem::path ServiceStateFile(std::string_view name, const char* ext) {
  return StateFile(name, ext);
}

bool IsServiceLockHeld(std::string_view name) { return IsLockHeld(name); }

void SetTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control) {
  g_startTimeoutMs = start.count();
  g_controlTimeoutMs = control.count();
}

Error CreateService(const ServiceConfig& config) {
  if (Error e = CheckName(config.name)) return e;
  if (config.imagePath.empty()) return kInvalidParameter;
  reg::KeyHandle key;
  if (OpenServiceKey(config.name, key) == kOk) return kServiceExists;
  auto& store = reg::Store::Default();
  if (store.CreateKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                      std::string(kServicesKey) + config.name, key) != reg::kOk) {
    return kAccessDenied;
  }
  std::vector<reg::Value> values{
      reg::MakeDword("Type", config.serviceType),
      reg::MakeDword("Start", config.startType),
      reg::MakeDword("ErrorControl", config.errorControl),
      reg::MakeExpandString("ImagePath", config.imagePath),
      reg::MakeString("DisplayName", config.displayName.empty() ? config.name
                                                                : config.displayName),
      reg::MakeString("ObjectName", config.account.empty() ? "LocalSystem" : config.account),
  };
  std::vector<std::string> deps;
  for (const auto& d : config.dependencies) {
    if (!d.empty()) deps.push_back(d);
  }
  if (!deps.empty()) values.push_back(reg::MakeMultiString("DependOnService", deps));
  if (store.ReplaceValues(key, values) != reg::kOk) return kAccessDenied;
  return kOk;
}

Error DeleteService(std::string_view name) {
  reg::KeyHandle key;
  if (Error e = OpenServiceKey(name, key)) return e;
  if (reg::Store::Default().DeleteKey(reg::KeyHandle::Root(reg::Hive::LocalMachine),
                                      std::string(kServicesKey) + std::string(name)) !=
      reg::kOk) {
    return kAccessDenied;
  }
  return kOk;
}

Error OpenService(std::string_view name) {
  reg::KeyHandle key;
  return OpenServiceKey(name, key);
}

Error QueryServiceConfig(std::string_view name, ServiceConfig& out) {
  reg::KeyHandle key;
  if (Error e = OpenServiceKey(name, key)) return e;
  auto& store = reg::Store::Default();
  ServiceConfig c;
  c.name = std::string(name);
  reg::Value v;
  if (store.QueryValue(key, "ImagePath", v) == reg::kOk) c.imagePath = reg::AsString(v);
  if (store.QueryValue(key, "DisplayName", v) == reg::kOk) c.displayName = reg::AsString(v);
  if (store.QueryValue(key, "ObjectName", v) == reg::kOk) c.account = reg::AsString(v);
  if (store.QueryValue(key, "Type", v) == reg::kOk) c.serviceType = DwordOf(v, kOwnProcess);
  if (store.QueryValue(key, "Start", v) == reg::kOk) c.startType = DwordOf(v, kDemandStart);
  if (store.QueryValue(key, "ErrorControl", v) == reg::kOk) c.errorControl = DwordOf(v, 1);
  if (store.QueryValue(key, "DependOnService", v) == reg::kOk) {
    c.dependencies = reg::AsMultiString(v);
  }
  out = std::move(c);
  return kOk;
}

Error StartService(std::string_view name, const std::vector<std::string>& args) {
  ServiceConfig config;
  if (Error e = QueryServiceConfig(name, config)) return e;
  if (config.startType == kDisabled) return kServiceDisabled;
  std::string key = Lower(name);
  if (t_starting.count(key)) return kCircularDependency;
  t_starting.insert(key);
  struct Leave {
    std::string key;
    ~Leave() { t_starting.erase(key); }
  } leave{key};

  {
    ServiceStatus st;
    QueryServiceStatus(name, st);
    if (st.currentState != kStopped) return kServiceAlreadyRunning;
  }
  if (Error e = StartDependencies(config)) return e;
  StartGuard guard(name);
  return StartLocked(name, config, args);
}

Error QueryServiceStatus(std::string_view name, ServiceStatus& out) {
  if (Error e = OpenService(name)) return e;
  if (Error e = CheckLockAccess(name)) return e;
  StoredStatus s;
  bool haveFile = ReadStatusFile(name, s);
  if (!IsLockHeld(name)) {
    // Not running, whatever the file says; keep the exit codes of a service
    // that reported its own stop.
    out = StoppedStatus();
    if (haveFile && s.status.currentState == kStopped) {
      out.win32ExitCode = s.status.win32ExitCode;
      out.serviceSpecificExitCode = s.status.serviceSpecificExitCode;
    }
    return kOk;
  }
  if (!haveFile) {
    out = StoppedStatus();
    out.currentState = kStartPending;
    out.waitHint = kInitialWaitHintMs;
    return kOk;
  }
  out = s.status;
  if (out.currentState == kStartPending) out.controlsAccepted = 0;
  return kOk;
}

Error ControlService(std::string_view name, uint32_t control, ServiceStatus& out) {
  if (control == 0 || control > 255) return kInvalidParameter;
  if (control > kControlShutdown && control < 128) return kInvalidServiceControl;
  if (Error e = QueryServiceStatus(name, out)) return e;
  if (out.currentState == kStopped) return kServiceNotActive;

  sockaddr_un addr;
  if (!FillSockAddr(StateFile(name, ".sock"), addr)) return kFilenameTooLong;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kServiceNoThread;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    // Running, but its dispatcher has not opened the channel yet (or is gone).
    if (!IsLockHeld(name)) return kServiceNotActive;
    return kServiceCannotAcceptControl;
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(g_controlTimeoutMs.load());
  uint32_t words[kReplyWords];
  if (!TransferAll(fd, &control, sizeof control, false, deadline) ||
      !TransferAll(fd, words, sizeof words, true, deadline)) {
    if (!IsLockHeld(name)) {
      out = StoppedStatus();
      return kServiceNotActive;
    }
    return kRequestTimeout;
  }
  return DecodeReply(words, out);
}

// ---- The service's side -----------------------------------------------------

bool StartedByServiceControl() { return InheritedLockFd() >= 0; }

Error StartServiceCtrlDispatcher(std::string_view /*name*/, const ServiceMain& serviceMain) {
  int lockFd = InheritedLockFd();
  if (lockFd < 0) return kFailedServiceControllerConnect;
  Dispatcher& d = TheDispatcher();
  std::string service = std::getenv(kEnvService);
  {
    std::lock_guard lock(d.mutex);
    if (d.active) return kServiceAlreadyRunning;
    d.active = true;
    d.serviceName = service;
    d.registered = false;
    d.handler = nullptr;
    d.status = ServiceStatus{};
    d.status.currentState = kStartPending;
    d.status.waitHint = kInitialWaitHintMs;
    d.status.processId = ::getpid();
  }
  // The lock stays open for the life of the process, but is not handed on to
  // programs this one starts.
  ::fcntl(lockFd, F_SETFD, FD_CLOEXEC);

  auto fail = [&](Error e) {
    std::lock_guard lock(d.mutex);
    d.active = false;
    return e;
  };
  auto sock = StateFile(service, ".sock");
  sockaddr_un addr;
  if (!FillSockAddr(sock, addr)) return fail(kFilenameTooLong);
  d.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listenFd < 0) return fail(kServiceNoThread);
  ::unlink(sock.c_str());
  if (::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(d.listenFd, 16) != 0 || ::pipe2(d.wakePipe, O_CLOEXEC) != 0) {
    ::close(d.listenFd);
    d.listenFd = -1;
    return fail(kServiceNoThread);
  }
  {
    std::lock_guard lock(d.mutex);
    WriteStatusFile(service, StoredStatus{d.status, true});
  }
  std::thread control([&d] { ControlThread(d); });
  std::thread main([&serviceMain, args = StartArguments(service)] {
    try {
      serviceMain(args);
    } catch (...) {
    }
  });
  main.join();
  {
    // The service ends with its main function, reported stopped or not.
    std::lock_guard lock(d.mutex);
    if (d.status.currentState != kStopped) {
      d.status = ServiceStatus{};
      WriteStatusFile(service, StoredStatus{d.status, true});
    }
  }
  char byte = 0;
  (void)!::write(d.wakePipe[1], &byte, 1);
  control.join();
  ::close(d.listenFd);
  ::close(d.wakePipe[0]);
  ::close(d.wakePipe[1]);
  d.listenFd = d.wakePipe[0] = d.wakePipe[1] = -1;
  ::unlink(sock.c_str());
  std::lock_guard lock(d.mutex);
  d.active = false;
  d.registered = false;
  d.handler = nullptr;
  return kOk;
}

StatusHandle RegisterServiceCtrlHandler(std::string_view /*name*/, ControlHandler handler) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard lock(d.mutex);
  if (!d.active || !handler) return nullptr;
  d.handler = std::move(handler);
  d.registered = true;
  return &g_handle;
}

Error SetServiceStatus(StatusHandle handle, const ServiceStatus& status) {
  if (handle != &g_handle) return 6;  // ERROR_INVALID_HANDLE
  Dispatcher& d = TheDispatcher();
  std::lock_guard lock(d.mutex);
  if (!d.active) return 6;
  d.status = status;
  d.status.processId = status.currentState == kStopped ? 0 : ::getpid();
  bool written = WriteStatusFile(d.serviceName, StoredStatus{d.status, true});
  return written ? kOk : kAccessDenied;
}

}  // namespace qn::svc
