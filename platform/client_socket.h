// A connected TCP socket of the main loop, held as its descriptor and watched
// through SocketReadiness::Main(): waiting for it costs no system call.
//
// Events are edges, so a reader must have read the socket empty before it
// waits again: until a read would block, or ReceiveSome said that nothing
// was left. A read that returns fewer bytes than asked for is not enough: an
// end of stream that came with the bytes is still pending then, and makes no
// new edge.
#pragma once
#include <sys/uio.h>

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <cstddef>

#include "platform/socket_readiness.h"

namespace qn {

class ClientSocket {
 public:
  ClientSocket() = default;
  ~ClientSocket() { Close(); }
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  // Takes the accepted socket's descriptor from asio: non-blocking, without
  // delay, with the receive hint, its events to `watcher`. False (and
  // closed) when any of it fails.
  bool Adopt(asio::ip::tcp::socket&& socket, SocketReadiness::Watcher* watcher);
  bool IsOpen() const { return m_fd >= 0; }

  // Reads up to `length` bytes without blocking; `more` is false only when
  // the socket was left empty with no end of stream pending, so that waiting
  // for the next edge loses nothing. 0 with `ec` eof at the end of stream.
  size_t ReceiveSome(void* data, size_t length, asio::error_code& ec, bool& more);
  // Writes what the socket takes of the parts, without blocking.
  size_t SendSome(const iovec* parts, size_t count, asio::error_code& ec);
  // No more bytes either way; the descriptor stays until Close.
  void Shutdown();
  void Close();

 private:
  int m_fd = -1;
  SocketReadiness::Entry* m_pEntry = nullptr;
  bool m_bHint = false;
};

}  // namespace qn
