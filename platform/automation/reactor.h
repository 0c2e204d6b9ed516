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
