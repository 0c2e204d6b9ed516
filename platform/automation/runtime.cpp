#include "platform/automation/runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <set>

#include "platform/automation/channel.h"
#include "platform/automation/class_registry.h"
#include "platform/paths.h"
#include "platform/process_start.h"

namespace qn::automation {

namespace {

struct Registration {
  std::string clsid;
  int listenFd = -1;
  int lockFd = -1;
  std::filesystem::path socketPath;
  std::unique_ptr<FdWatch> watch;
};

// A local server this process started: reaped once it ends.
struct Child {
  pid_t pid = -1;
  int pidfd = -1;
  std::unique_ptr<FdWatch> watch;
};

class Creation;

struct State {
  std::unique_ptr<Reactor> reactor = MakePollReactor();
  std::map<Channel*, std::shared_ptr<Channel>> channels;
  std::map<std::string, std::shared_ptr<ClassFactory>> classes;
  std::map<uint32_t, Registration> registrations;
  uint32_t nextCookie = 1;
  size_t outputLimit = kDefaultOutputLimit;
  std::map<std::string, void*> libraries;
  std::map<int, Child> children;
  std::set<std::shared_ptr<Creation>> creations;
};

// Never destroyed: objects may still be released while the process exits.
State& S() {
  static State* state = new State;
  return *state;
}

std::shared_ptr<Channel> NewChannel(int fd, bool initiated) {
  auto channel = std::make_shared<Channel>(fd, initiated);
  S().channels[channel.get()] = channel;
  channel->Start();
  return channel;
}

bool FillAddress(const std::filesystem::path& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const std::string p = path.string();
  if (p.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, p.c_str(), p.size() + 1);
  return true;
}

// A connection to a running local server, or -1.
int ConnectClass(const std::string& clsid) {
  sockaddr_un addr;
  if (!FillAddress(ClassSocketPath(clsid), &addr)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}

// ---- Starting a local server --------------------------------------------------

void WatchChild(pid_t pid, int pidfd) {
  if (pidfd < 0) return;
  Child& child = S().children[pidfd];
  child.pid = pid;
  child.pidfd = pidfd;
  child.watch = S().reactor->Watch(pidfd);
  child.watch->WantRead([pidfd] {
    auto it = S().children.find(pidfd);
    if (it == S().children.end()) return;
    ::waitpid(it->second.pid, nullptr, WNOHANG);
    it->second.watch.reset();
    ::close(pidfd);
    S().children.erase(it);
  });
}

class Creation : public std::enable_shared_from_this<Creation> {
 public:
  Creation(ClassEntry entry, int timeoutMs, std::function<void(Status, Ref<IDispatch>)> done)
      : entry_(std::move(entry)),
        timeoutMs_(timeoutMs),
        deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs)),
        done_(std::move(done)),
        timer_(S().reactor->MakeTimer()) {}

  void Step() {
    if (finished_) return;
    const int fd = ConnectClass(entry_.clsid);
    if (fd >= 0) {
      Connected(fd);
      return;
    }
    if (!spawned_) {
      spawned_ = true;
      if (!Spawn()) {
        Finish(kServerExecFailure, nullptr);
        return;
      }
    } else if (ChildEnded()) {
      // Ended without registering (this step's connect just failed).
      Finish(kServerExecFailure, nullptr);
      return;
    }
    if (Clock::now() >= deadline_) {
      Finish(kServerExecFailure, nullptr);
      return;
    }
    std::weak_ptr<Creation> weak = shared_from_this();
    timer_->Start(Clock::now() + std::chrono::milliseconds(20), [weak] {
      if (auto self = weak.lock()) self->Step();
    });
  }

  void Finish(Status s, Ref<IDispatch> object) {
    if (finished_) return;
    finished_ = true;
    timer_->Cancel();
    if (pidfd_ >= 0) {
      WatchChild(pid_, pidfd_);
      pidfd_ = -1;
    }
    auto self = shared_from_this();
    S().creations.erase(self);
    auto done = std::move(done_);
    done(s, std::move(object));
  }

 private:
  void Connected(int fd) {
    auto channel = NewChannel(fd, true);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    const int timeout = static_cast<int>(std::max<int64_t>(left.count(), 1));
    std::weak_ptr<Creation> weak = shared_from_this();
    const std::string clsid = entry_.clsid;
    const int callTimeout = timeoutMs_;
    channel->Call(
        [clsid](std::string& out, uint32_t call) {
          wire::EncodeCreate(out, call, clsid);
          return true;
        },
        [weak, callTimeout](Status failure, wire::Message* reply) {
          auto self = weak.lock();
          if (!self) return;
          if (reply == nullptr) {
            // No answer in time counts as a server that did not start.
            self->Finish(failure == kTimeout ? kServerExecFailure : failure, nullptr);
            return;
          }
          if (reply->status != kOk) {
            self->Finish(reply->status, nullptr);
            return;
          }
          Ref<IDispatch> object(reply->result.vt() == VT_DISPATCH ? reply->result.Object() : nullptr);
          if (!object) {
            self->Finish(kUnexpected, nullptr);
            return;
          }
          SetCallTimeout(object.get(), callTimeout);
          self->Finish(kOk, std::move(object));
        },
        timeout);
  }

  bool Spawn() {
    std::vector<std::string> words = qn::SplitCommandWords(entry_.local);
    if (words.empty()) return false;
    words.push_back("-Embedding");
    qn::paths::EnsureDir(qn::paths::RunDir());
    qn::ChildSetup setup;
    setup.newSession = true;
    setup.outputFile = (qn::paths::RunDir() / (entry_.clsid + ".log")).string();
    if (qn::SpawnChild(words, setup, &pid_) != 0) return false;
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ >= 0) ::fcntl(pidfd_, F_SETFD, FD_CLOEXEC);
    return true;
  }

  bool ChildEnded() {
    if (pidfd_ < 0) return ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    ::waitpid(pid_, nullptr, WNOHANG);
    ::close(pidfd_);
    pidfd_ = -1;
    return true;
  }

  ClassEntry entry_;
  int timeoutMs_;
  Clock::time_point deadline_;
  std::function<void(Status, Ref<IDispatch>)> done_;
  std::unique_ptr<Timer> timer_;
  bool finished_ = false;
  bool spawned_ = false;
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

Status CreateInproc(const ClassEntry& entry, Ref<IDispatch>* out) {
  void*& library = S().libraries[entry.inproc];
  // Libraries stay loaded: their objects' code must outlive every reference.
  if (library == nullptr) library = ::dlopen(entry.inproc.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return kClassNotRegistered;
  auto entryPoint = reinterpret_cast<InprocEntry>(::dlsym(library, kInprocEntryName));
  if (entryPoint == nullptr) return kClassNotRegistered;
  IDispatch* raw = nullptr;
  const Status s = entryPoint(entry.clsid.c_str(), &raw);
  if (s != kOk || raw == nullptr) return s != kOk ? s : kUnexpected;
  *out = Ref<IDispatch>(raw);
  raw->Release();  // the entry point's own reference, now held by *out
  return kOk;
}

// Creations that need no waiting; false when the class needs its server.
bool CreateAtOnce(const ClassEntry& entry, Status* status, Ref<IDispatch>* out) {
  if (S().classes.count(entry.clsid) != 0) {
    *status = CreateRegistered(entry.clsid, out);
    return true;
  }
  if (!entry.inproc.empty()) {
    *status = CreateInproc(entry, out);
    if (*status == kOk || entry.local.empty()) return true;
  }
  if (entry.local.empty()) {
    *status = kClassNotRegistered;
    return true;
  }
  return false;
}

void OnAcceptable(uint32_t cookie) {
  auto it = S().registrations.find(cookie);
  if (it == S().registrations.end()) return;
  const int listenFd = it->second.listenFd;
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    // The socket's mode already keeps others out; its peer's identity says so
    // too, whatever the directory allows.
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 ||
        (cred.uid != ::geteuid() && cred.uid != 0)) {
      ::close(fd);
      continue;
    }
    NewChannel(fd, false);
  }
  it = S().registrations.find(cookie);
  if (it != S().registrations.end())
    it->second.watch->WantRead([cookie] { OnAcceptable(cookie); });
}

void CloseRegistration(Registration& r) {
  r.watch.reset();
  if (r.listenFd >= 0) ::close(r.listenFd);
  // Only the holder of the lock removes the socket: a second server of the
  // class never touches the first one's.
  if (r.lockFd >= 0) {
    ::unlink(r.socketPath.c_str());
    ::close(r.lockFd);
  }
  r.listenFd = r.lockFd = -1;
}

}  // namespace

// ---- Channel's view of the runtime --------------------------------------------

Reactor& ChannelReactor() { return *S().reactor; }
void ForgetChannel(Channel* channel) { S().channels.erase(channel); }
size_t OutputLimit() { return S().outputLimit; }

Status CreateRegistered(const std::string& clsid, Ref<IDispatch>* out) {
  const auto it = S().classes.find(clsid);
  if (it == S().classes.end()) return kClassNotRegistered;
  // The factory stays while it creates, even if the class is revoked meanwhile.
  std::shared_ptr<ClassFactory> factory = it->second;
  try {
    return factory->CreateInstance(out);
  } catch (...) {
    return kUnexpected;
  }
}

// ---- Public -------------------------------------------------------------------

void UseEventLoop(asio::io_context& loop) {
  ShutdownRuntime();
  S().reactor = MakeLoopReactor(loop);
}

void ShutdownRuntime() {
  State& s = S();
  for (auto& [cookie, r] : s.registrations) CloseRegistration(r);
  s.registrations.clear();
  s.classes.clear();
  std::vector<std::shared_ptr<Creation>> creations(s.creations.begin(), s.creations.end());
  for (auto& c : creations) c->Finish(kServerExecFailure, nullptr);
  std::vector<std::shared_ptr<Channel>> channels;
  for (auto& [p, c] : s.channels) channels.push_back(c);
  for (auto& c : channels) c->Close(kCallFailed);
  for (auto& [fd, child] : s.children) {
    child.watch.reset();
    ::close(fd);
  }
  s.children.clear();
  s.reactor = MakePollReactor();
}

bool Pump(const std::function<bool()>& done, Clock::time_point deadline, int extraFd,
          bool* extraReady) {
  return S().reactor->PumpUntil(done, deadline, extraFd, extraReady);
}

Reactor& GetReactor() { return *S().reactor; }

Status RegisterClassObject(const std::string& clsidText, std::shared_ptr<ClassFactory> factory,
                           uint32_t* cookie) {
  const std::string clsid = CanonicalClsid(clsidText);
  if (clsid.empty() || !factory) return kInvalidArg;
  const std::filesystem::path dir = qn::paths::RunDir();
  if (!qn::paths::EnsureDir(dir)) return kUnexpected;

  Registration r;
  r.clsid = clsid;
  r.socketPath = ClassSocketPath(clsid);
  const std::string lockPath = (dir / (clsid + ".lock")).string();
  r.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (r.lockFd < 0) return kUnexpected;
  if (::flock(r.lockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(r.lockFd);
    return kSharingViolation;
  }
  // Bound under a private name, made owner-only, then renamed into place: no
  // moment exists in which another user could connect.
  const std::filesystem::path temp = dir / ("reg-" + std::to_string(::getpid()) + ".tmp");
  sockaddr_un finalAddress, address;
  bool ok = FillAddress(r.socketPath, &finalAddress) && FillAddress(temp, &address);
  r.listenFd = ok ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1;
  ::unlink(temp.c_str());
  ok = r.listenFd >= 0 &&
       ::bind(r.listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
       ::chmod(temp.c_str(), 0600) == 0 && ::listen(r.listenFd, 128) == 0 &&
       ::rename(temp.c_str(), r.socketPath.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    if (r.listenFd >= 0) ::close(r.listenFd);
    ::close(r.lockFd);
    return kUnexpected;
  }
  const uint32_t id = S().nextCookie++;
  r.watch = S().reactor->Watch(r.listenFd);
  S().classes[clsid] = std::move(factory);
  Registration& stored = S().registrations[id] = std::move(r);
  stored.watch->WantRead([id] { OnAcceptable(id); });
  *cookie = id;
  return kOk;
}

void RevokeClassObject(uint32_t cookie) {
  const auto it = S().registrations.find(cookie);
  if (it == S().registrations.end()) return;
  S().classes.erase(it->second.clsid);
  CloseRegistration(it->second);
  S().registrations.erase(it);
}

void CreateObjectAsync(const std::string& classText,
                       std::function<void(Status, Ref<IDispatch>)> done, int timeoutMs) {
  ClassEntry entry;
  Status status = LookUpClass(classText, &entry);
  Ref<IDispatch> object;
  if (status != kOk || CreateAtOnce(entry, &status, &object)) {
    done(status, std::move(object));
    return;
  }
  auto creation = std::make_shared<Creation>(std::move(entry), timeoutMs, std::move(done));
  S().creations.insert(creation);
  creation->Step();
}

Status CreateObject(const std::string& classText, Ref<IDispatch>* out, int timeoutMs) {
  ClassEntry entry;
  Status status = LookUpClass(classText, &entry);
  if (status != kOk) return status;
  if (CreateAtOnce(entry, &status, out)) return status;
  if (!S().reactor->CanBlock()) return kCantCallOut;
  bool finished = false;
  auto creation = std::make_shared<Creation>(
      std::move(entry), timeoutMs, [&](Status s, Ref<IDispatch> object) {
        status = s;
        *out = std::move(object);
        finished = true;
      });
  S().creations.insert(creation);
  creation->Step();
  if (!finished && !Pump([&] { return finished; }, Clock::time_point::max())) {
    creation->Finish(kUnexpected, nullptr);
  }
  return status;
}

bool IsProxy(IDispatch* object) { return dynamic_cast<RemoteObject*>(object) != nullptr; }

void SetCallTimeout(IDispatch* proxy, int timeoutMs) {
  if (auto* remote = dynamic_cast<RemoteObject*>(proxy)) remote->SetTimeout(timeoutMs);
}

size_t ExportedObjectCount() {
  size_t n = 0;
  for (const auto& [p, c] : S().channels) n += c->ExportCount();
  return n;
}

size_t ConnectionCount() { return S().channels.size(); }

void SetOutputLimit(size_t bytes) { S().outputLimit = bytes; }

}  // namespace qn::automation
