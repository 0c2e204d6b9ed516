// What the automation runtime waits on: descriptors becoming readable or
// writable, and timers. One form runs on an Asio loop (a server's main loop:
// nothing ever blocks it); the other polls only while its thread pumps (a
// client blocked in a call still serves the calls made back to it).
#pragma once
#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace qn::automation {

using Clock = std::chrono::steady_clock;

// One descriptor; each wish is one-shot and runs on the reactor's thread.
// The descriptor stays the caller's.
class FdWatch {
 public:
  virtual ~FdWatch() = default;
  virtual void WantRead(std::function<void()> fn) = 0;
  virtual void WantWrite(std::function<void()> fn) = 0;
  // A socket's next bytes, read by the reactor into a buffer of the watch's
  // own (valid during `fn`); `failed` for an error or the peer's end. False
  // when this watch has no such reads: then WantRead and read.
  virtual bool ReceiveSome(std::function<void(const char* data, size_t n, bool failed)> fn) {
    return false;
  }
};

class Timer {
 public:
  virtual ~Timer() = default;
  // Replaces any earlier wish.
  virtual void Start(Clock::time_point when, std::function<void()> fn) = 0;
  virtual void Cancel() = 0;
};

class Reactor {
 public:
  virtual ~Reactor() = default;
  virtual std::unique_ptr<FdWatch> Watch(int fd) = 0;
  // For a stream socket, whose reads the reactor may make itself.
  virtual std::unique_ptr<FdWatch> WatchSocket(int fd) { return Watch(fd); }
  virtual std::unique_ptr<Timer> MakeTimer() = 0;
  // Runs `fn` soon, outside the caller's stack.
  virtual void Post(std::function<void()> fn) = 0;
  // False on an event loop: a caller there must not wait.
  virtual bool CanBlock() const = 0;
  // Serves descriptors and timers until `done` or the deadline; true when
  // `done`. `extraFd`, when not -1, also ends the wait once readable (and
  // then true is returned with `*extraReady` set).
  virtual bool PumpUntil(const std::function<bool()>& done, Clock::time_point deadline,
                         int extraFd = -1, bool* extraReady = nullptr) = 0;
};

std::unique_ptr<Reactor> MakePollReactor();
std::unique_ptr<Reactor> MakeLoopReactor(asio::io_context& loop);

}  // namespace qn::automation
