// Readiness of many non-blocking sockets, learnt from one epoll set of our
// own that the loop waits on through asio's public wait on a descriptor.
//
// Each socket is registered once, edge-triggered, for input, output and
// hang-ups, and never changed afterwards: waiting for a socket costs no
// system call, and its watcher hears of a reset even while it reads nothing.
// The loop's wait on the set costs one call per batch of ready sockets.
// Everything runs on the loop's one thread.
#pragma once
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn {

class SocketReadiness {
 public:
  // What an event reports, several at once. Edges: each says that the state
  // changed since the last event, not that it still holds.
  enum Event : uint32_t {
    kInput = 1,   // bytes, an end of stream or an error to read
    kOutput = 2,  // room to write
    kHangUp = 4,  // reset, failed, or shut both ways: nothing more passes
  };

  class Watcher {
   public:
    virtual void OnSocketEvents(uint32_t events) = 0;

   protected:
    ~Watcher() = default;
  };

  // A registration; its events go to the watcher until Remove.
  struct Entry {
    Watcher* watcher;
  };

  explicit SocketReadiness(asio::io_context& loop);
  ~SocketReadiness();
  SocketReadiness(const SocketReadiness&) = delete;
  SocketReadiness& operator=(const SocketReadiness&) = delete;

  // The set of the main loop, made at first use and kept for the process's
  // life (the loop may still hold its wait when static objects go).
  static SocketReadiness& Main();

  // Null (errno set) when the socket cannot be watched.
  Entry* Add(int fd, Watcher* watcher);
  // Before the socket is closed. An event of the entry still pending in the
  // running dispatch is not delivered.
  void Remove(int fd, Entry* entry);
  size_t Watched() const { return m_nWatched; }

 private:
  void Arm();
  void Dispatch();

  int m_epoll;
  asio::posix::stream_descriptor m_descriptor;
  size_t m_nWatched = 0;
  bool m_bDispatching = false;
  // Removed during a dispatch: freed once it ends.
  std::vector<Entry*> m_removed;
};

}  // namespace qn
