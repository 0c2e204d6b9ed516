// The loop's socket readiness: one edge per change of a socket's state, a
// reset heard as a hang-up by a socket nobody reads, room to write after a
// full send buffer, and a socket removed while a batch is handed out hearing
// nothing more.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <vector>

#include "platform/socket_readiness.h"

namespace {

using qn::SocketReadiness;

// A connected TCP pair on the loopback: `near` is watched, `far` is the peer.
struct Pair {
  Pair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    far = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(far, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    near = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    EXPECT_GE(near, 0);
    ::close(listener);
  }
  ~Pair() {
    if (near >= 0) ::close(near);
    if (far >= 0) ::close(far);
  }
  int near = -1;
  int far = -1;
};

struct Recorder : SocketReadiness::Watcher {
  void OnSocketEvents(uint32_t events) override {
    heard.push_back(events);
    if (then) then(events);
  }
  bool Heard(uint32_t event) const {
    for (uint32_t e : heard)
      if (e & event) return true;
    return false;
  }
  std::vector<uint32_t> heard;
  std::function<void(uint32_t)> then;
};

class SocketReadinessTest : public ::testing::Test {
 protected:
  // Runs the loop until `done` holds, at most `limit`.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      loop.run_one_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  void RunAWhile() { RunUntil([] { return false; }, std::chrono::milliseconds(100)); }

  asio::io_context loop{1};
  SocketReadiness set{loop};
};

TEST_F(SocketReadinessTest, EachChangeIsOneEdgeAndAResetIsHeardWithoutReading) {
  Pair pair;
  Recorder watcher;
  SocketReadiness::Entry* entry = set.Add(pair.near, &watcher);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(set.Watched(), 1u);
  // A new socket can be written: the registration reports that once.
  ASSERT_TRUE(RunUntil([&] { return watcher.Heard(SocketReadiness::kOutput); }));
  watcher.heard.clear();
  RunAWhile();
  EXPECT_TRUE(watcher.heard.empty());

  ASSERT_EQ(::write(pair.far, "abc", 3), 3);
  ASSERT_TRUE(RunUntil([&] { return watcher.Heard(SocketReadiness::kInput); }));
  EXPECT_FALSE(watcher.Heard(SocketReadiness::kHangUp));
  // Unread bytes make no second edge.
  watcher.heard.clear();
  RunAWhile();
  EXPECT_TRUE(watcher.heard.empty());

  // The peer resets the connection; nothing was read meanwhile.
  const linger abort{1, 0};
  ASSERT_EQ(::setsockopt(pair.far, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  ::close(pair.far);
  pair.far = -1;
  ASSERT_TRUE(RunUntil([&] { return watcher.Heard(SocketReadiness::kHangUp); }));
  EXPECT_TRUE(watcher.Heard(SocketReadiness::kInput));
  set.Remove(pair.near, entry);
  EXPECT_EQ(set.Watched(), 0u);
}

TEST_F(SocketReadinessTest, RoomToWriteIsHeardOnceThePeerReads) {
  Pair pair;
  Recorder watcher;
  SocketReadiness::Entry* entry = set.Add(pair.near, &watcher);
  ASSERT_TRUE(RunUntil([&] { return watcher.Heard(SocketReadiness::kOutput); }));
  char block[65536] = {};
  size_t written = 0;
  for (;;) {
    const ssize_t n = ::send(pair.near, block, sizeof block, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ASSERT_GT(written, 0u);
  watcher.heard.clear();
  RunAWhile();
  EXPECT_FALSE(watcher.Heard(SocketReadiness::kOutput));
  for (size_t read = 0; read < written;) {
    const ssize_t n = ::read(pair.far, block, sizeof block);
    ASSERT_GT(n, 0);
    read += static_cast<size_t>(n);
  }
  EXPECT_TRUE(RunUntil([&] { return watcher.Heard(SocketReadiness::kOutput); }));
  set.Remove(pair.near, entry);
}

TEST_F(SocketReadinessTest, ASocketRemovedWhileABatchIsHandedOutHearsNothingMore) {
  Pair first, second;
  Recorder a, b;
  SocketReadiness::Entry* entryA = set.Add(first.near, &a);
  SocketReadiness::Entry* entryB = set.Add(second.near, &b);
  ASSERT_TRUE(RunUntil([&] { return a.Heard(SocketReadiness::kOutput) && b.Heard(SocketReadiness::kOutput); }));
  a.heard.clear();
  b.heard.clear();
  // Whichever hears first closes the other, as a connection deleted by
  // another's handler would be.
  a.then = [&](uint32_t) {
    if (entryB == nullptr) return;
    set.Remove(second.near, entryB);
    entryB = nullptr;
    ::close(second.near);
    second.near = -1;
  };
  b.then = [&](uint32_t) {
    if (entryA == nullptr) return;
    set.Remove(first.near, entryA);
    entryA = nullptr;
    ::close(first.near);
    first.near = -1;
  };
  ASSERT_EQ(::write(first.far, "x", 1), 1);
  ASSERT_EQ(::write(second.far, "y", 1), 1);
  ASSERT_TRUE(RunUntil([&] { return !a.heard.empty() || !b.heard.empty(); }));
  RunAWhile();
  EXPECT_EQ(a.heard.size() + b.heard.size(), 1u);
  EXPECT_EQ(set.Watched(), 1u);
  if (entryA != nullptr) set.Remove(first.near, entryA);
  if (entryB != nullptr) set.Remove(second.near, entryB);
}

}  // namespace
