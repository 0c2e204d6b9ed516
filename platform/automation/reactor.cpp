#include "platform/automation/reactor.h"

#include <poll.h>

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <deque>
#include <map>
#include <vector>

namespace qn::automation {

namespace {

// ---- Polling, for threads that may block ------------------------------------

class PollReactor : public Reactor {
 public:
  struct WatchState {
    int fd = -1;
    std::function<void()> read;
    std::function<void()> write;
  };
  struct TimerState {
    Clock::time_point when;
    std::function<void()> fn;
  };

  class Watch : public FdWatch {
   public:
    Watch(PollReactor& r, uint64_t id) : r_(r), id_(id) {}
    ~Watch() override { r_.watches_.erase(id_); }
    void WantRead(std::function<void()> fn) override { r_.watches_[id_].read = std::move(fn); }
    void WantWrite(std::function<void()> fn) override { r_.watches_[id_].write = std::move(fn); }

   private:
    PollReactor& r_;
    uint64_t id_;
  };

  class PollTimer : public Timer {
   public:
    PollTimer(PollReactor& r, uint64_t id) : r_(r), id_(id) {}
    ~PollTimer() override { r_.timers_.erase(id_); }
    void Start(Clock::time_point when, std::function<void()> fn) override {
      r_.timers_[id_] = TimerState{when, std::move(fn)};
    }
    void Cancel() override { r_.timers_.erase(id_); }

   private:
    PollReactor& r_;
    uint64_t id_;
  };

  std::unique_ptr<FdWatch> Watch(int fd) override {
    const uint64_t id = next_++;
    watches_[id].fd = fd;
    return std::make_unique<class Watch>(*this, id);
  }
  std::unique_ptr<Timer> MakeTimer() override { return std::make_unique<PollTimer>(*this, next_++); }
  void Post(std::function<void()> fn) override { posted_.push_back(std::move(fn)); }
  bool CanBlock() const override { return true; }

  bool PumpUntil(const std::function<bool()>& done, Clock::time_point deadline, int extraFd,
                 bool* extraReady) override {
    if (extraReady != nullptr) *extraReady = false;
    for (;;) {
      RunPosted();
      if (done && done()) return true;
      RunTimers();
      if (done && done()) return true;
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return false;

      Clock::time_point wake = deadline;
      for (const auto& [id, t] : timers_) wake = std::min(wake, t.when);
      std::vector<pollfd> fds;
      std::vector<uint64_t> ids;
      for (const auto& [id, w] : watches_) {
        short events = 0;
        if (w.read) events |= POLLIN;
        if (w.write) events |= POLLOUT;
        if (events == 0) continue;
        fds.push_back(pollfd{w.fd, events, 0});
        ids.push_back(id);
      }
      if (extraFd >= 0) fds.push_back(pollfd{extraFd, POLLIN, 0});
      int timeout = 0;
      if (posted_.empty() && wake > now) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        timeout = static_cast<int>(std::min<int64_t>(ms, 60'000));
      }
      const int n = ::poll(fds.data(), fds.size(), timeout);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) continue;
      if (extraFd >= 0 && fds.back().revents != 0) {
        if (extraReady != nullptr) *extraReady = true;
        return true;
      }
      for (size_t i = 0; i < ids.size(); ++i) {
        const short re = fds[i].revents;
        if (re == 0) continue;
        // A handler may have removed this watch or any other.
        auto it = watches_.find(ids[i]);
        if (it != watches_.end() && (re & (POLLIN | POLLHUP | POLLERR)) && it->second.read) {
          auto fn = std::move(it->second.read);
          it->second.read = nullptr;
          fn();
        }
        it = watches_.find(ids[i]);
        if (it != watches_.end() && (re & (POLLOUT | POLLHUP | POLLERR)) && it->second.write) {
          auto fn = std::move(it->second.write);
          it->second.write = nullptr;
          fn();
        }
      }
    }
  }

 private:
  void RunPosted() {
    while (!posted_.empty()) {
      auto fn = std::move(posted_.front());
      posted_.pop_front();
      fn();
    }
  }
  void RunTimers() {
    const Clock::time_point now = Clock::now();
    std::vector<uint64_t> due;
    for (const auto& [id, t] : timers_)
      if (t.when <= now) due.push_back(id);
    for (uint64_t id : due) {
      auto it = timers_.find(id);
      if (it == timers_.end() || it->second.when > now) continue;
      auto fn = std::move(it->second.fn);
      timers_.erase(it);
      if (fn) fn();
    }
  }

  uint64_t next_ = 1;
  std::map<uint64_t, WatchState> watches_;
  std::map<uint64_t, TimerState> timers_;
  std::deque<std::function<void()>> posted_;
};

// ---- On an Asio loop ----------------------------------------------------------

class LoopWatch : public FdWatch {
 public:
  LoopWatch(asio::io_context& loop, int fd)
      : sd_(loop, fd), alive_(std::make_shared<bool>(true)) {}
  ~LoopWatch() override {
    *alive_ = false;
    asio::error_code ec;
    sd_.cancel(ec);
    sd_.release();  // the descriptor stays its owner's
  }
  void WantRead(std::function<void()> fn) override { Wait(asio::posix::descriptor_base::wait_read, std::move(fn)); }
  void WantWrite(std::function<void()> fn) override { Wait(asio::posix::descriptor_base::wait_write, std::move(fn)); }

 private:
  void Wait(asio::posix::descriptor_base::wait_type type, std::function<void()> fn) {
    sd_.async_wait(type, [alive = alive_, fn = std::move(fn)](const asio::error_code& ec) {
      if (!ec && *alive) fn();
    });
  }
  asio::posix::stream_descriptor sd_;
  std::shared_ptr<bool> alive_;
};

// A socket on the loop: its reads are the reactor's own, so that a reader
// that keeps one pending costs no re-arming of the descriptor per message.
class LoopSocketWatch : public FdWatch {
 public:
  LoopSocketWatch(asio::io_context& loop, int fd)
      : socket_(loop), alive_(std::make_shared<bool>(true)) {
    asio::error_code ec;
    socket_.assign(asio::local::stream_protocol(), fd, ec);
  }
  ~LoopSocketWatch() override {
    *alive_ = false;
    asio::error_code ec;
    socket_.cancel(ec);
    socket_.release(ec);  // the descriptor stays its owner's
  }
  void WantRead(std::function<void()> fn) override { Wait(asio::socket_base::wait_read, std::move(fn)); }
  void WantWrite(std::function<void()> fn) override { Wait(asio::socket_base::wait_write, std::move(fn)); }
  bool ReceiveSome(std::function<void(const char*, size_t, bool)> fn) override {
    socket_.async_receive(asio::buffer(buffer_),
                          [this, alive = alive_, fn = std::move(fn)](const asio::error_code& ec, size_t n) {
                            if (!*alive || ec == asio::error::operation_aborted) return;
                            fn(buffer_, n, ec || n == 0);
                          });
    return true;
  }

 private:
  void Wait(asio::socket_base::wait_type type, std::function<void()> fn) {
    socket_.async_wait(type, [alive = alive_, fn = std::move(fn)](const asio::error_code& ec) {
      if (!ec && *alive) fn();
    });
  }
  asio::local::stream_protocol::socket socket_;
  std::shared_ptr<bool> alive_;
  char buffer_[16384];
};

class LoopTimer : public Timer {
 public:
  explicit LoopTimer(asio::io_context& loop) : timer_(loop) {}
  ~LoopTimer() override { Cancel(); }
  void Start(Clock::time_point when, std::function<void()> fn) override {
    Cancel();
    token_ = std::make_shared<bool>(true);
    timer_.expires_at(when);
    timer_.async_wait([token = token_, fn = std::move(fn)](const asio::error_code& ec) {
      if (!ec && *token) fn();
    });
  }
  void Cancel() override {
    if (token_) *token_ = false;
    token_.reset();
    timer_.cancel();
  }

 private:
  asio::steady_timer timer_;
  std::shared_ptr<bool> token_;
};

class LoopReactor : public Reactor {
 public:
  explicit LoopReactor(asio::io_context& loop) : loop_(loop) {}
  std::unique_ptr<FdWatch> Watch(int fd) override { return std::make_unique<LoopWatch>(loop_, fd); }
  std::unique_ptr<FdWatch> WatchSocket(int fd) override {
    return std::make_unique<LoopSocketWatch>(loop_, fd);
  }
  std::unique_ptr<Timer> MakeTimer() override { return std::make_unique<LoopTimer>(loop_); }
  void Post(std::function<void()> fn) override { asio::post(loop_, std::move(fn)); }
  bool CanBlock() const override { return false; }
  bool PumpUntil(const std::function<bool()>& done, Clock::time_point, int, bool* extraReady) override {
    if (extraReady != nullptr) *extraReady = false;
    return done && done();
  }

 private:
  asio::io_context& loop_;
};

}  // namespace

std::unique_ptr<Reactor> MakePollReactor() { return std::make_unique<PollReactor>(); }
std::unique_ptr<Reactor> MakeLoopReactor(asio::io_context& loop) {
  return std::make_unique<LoopReactor>(loop);
}

}  // namespace qn::automation
