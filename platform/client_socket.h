// A connected TCP socket of the main loop whose wait for input costs no
// system call.
//
// asio registers a socket with the loop's epoll set once, edge-triggered for
// input, when the socket is opened; yet its own wait (async_wait) modifies
// that registration on every call, one epoll_ctl per wait. WaitReadable
// relies on the registration as asio's own reads do: it ends at the next
// edge, or at once when an edge came while no wait was pending. So a reader
// must have read the socket empty before it waits again: until a read would
// block, or ReceiveSome said that nothing was left. A read that returns
// fewer bytes than asked for is not enough: an end of stream that came with
// the bytes is still pending then, and makes no new edge.
#pragma once
// asio's own headers first: the reactor's needs the scheduler's.
#include <asio/ip/tcp.hpp>
#include <asio/version.hpp>
#include <asio/detail/reactor.hpp>
#include <asio/detail/reactor_op.hpp>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

// The reactor's start_op and its speculative path are asio's internals:
// checked against asio 1.22 (Debian 12) only.
#if ASIO_VERSION / 100 != 1022 || !defined(ASIO_HAS_EPOLL) || defined(ASIO_HAS_IO_URING_AS_DEFAULT)
#error "ClientSocket::WaitReadable relies on the epoll reactor of asio 1.22"
#endif

namespace qn {

class ClientSocket : public asio::ip::tcp::socket {
 public:
  explicit ClientSocket(asio::io_context& loop)
      : asio::ip::tcp::socket(loop), m_reactor(asio::use_service<asio::detail::reactor>(loop)) {}
  ClientSocket& operator=(asio::ip::tcp::socket&& other) {
    asio::ip::tcp::socket::operator=(std::move(other));
    return *this;
  }

  // Has every ReceiveSome learn from the kernel whether the socket holds
  // more (bytes or a pending end of stream); false where it cannot, and
  // ReceiveSome then always answers that there may be more.
  bool EnableReceiveHint();
  // Reads up to `length` bytes without blocking, as read_some does; `more`
  // is false only when the socket was left empty with no end of stream
  // pending, so that waiting for the next edge loses nothing.
  size_t ReceiveSome(void* data, size_t length, asio::error_code& ec, bool& more);

  // Calls `handler(error)` on the loop once the socket may be read: an error
  // of operation_aborted when the socket was closed first. One wait at a
  // time; the socket must be open and non-blocking.
  template <class Handler>
  void WaitReadable(Handler&& handler) {
    auto& impl = impl_.get_implementation();
    auto* op = new (ReadableOp<std::decay_t<Handler>>::Allocate())
        ReadableOp<std::decay_t<Handler>>(std::forward<Handler>(handler));
    m_reactor.start_op(asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_, op,
                       /*is_continuation=*/false, /*allow_speculative=*/true);
  }

 private:
  // Performing it reads nothing; it only ends the wait. Answering
  // "exhausted" tells the reactor that the socket has no edge left to act on
  // at once, so the next wait queues without a look at the socket and
  // without touching the registration.
  template <class Handler>
  class ReadableOp : public asio::detail::reactor_op {
   public:
    explicit ReadableOp(Handler&& handler)
        : reactor_op(asio::error_code(), &Perform, &Complete), m_handler(std::move(handler)) {}

    // Ops are made and ended on the loop's thread only: a few kept for reuse
    // save an allocation per wait.
    static void* Allocate() {
      std::vector<void*>& spare = Spare();
      if (spare.empty()) return ::operator new(sizeof(ReadableOp));
      void* memory = spare.back();
      spare.pop_back();
      return memory;
    }

   private:
    static status Perform(reactor_op*) { return done_and_exhausted; }

    // `owner` is null when the loop is destroyed with the wait pending.
    static void Complete(void* owner, asio::detail::operation* base, const asio::error_code&,
                         std::size_t) {
      auto* op = static_cast<ReadableOp*>(base);
      Handler handler(std::move(op->m_handler));
      const asio::error_code error = op->ec_;
      op->~ReadableOp();
      std::vector<void*>& spare = Spare();
      if (spare.size() < kSpare)
        spare.push_back(op);
      else
        ::operator delete(op);
      if (owner != nullptr) handler(error);
    }

    static std::vector<void*>& Spare() {
      static std::vector<void*>* spare = new std::vector<void*>();  // outlives the loop
      return *spare;
    }
    static constexpr size_t kSpare = 64;

    Handler m_handler;
  };

  asio::detail::reactor& m_reactor;
};

}  // namespace qn
