#include "platform/client_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace qn {

bool ClientSocket::EnableReceiveHint() {
  const int on = 1;
  return ::setsockopt(native_handle(), IPPROTO_TCP, TCP_INQ, &on, sizeof on) == 0;
}

size_t ClientSocket::ReceiveSome(void* data, size_t length, asio::error_code& ec, bool& more) {
  more = true;
  iovec vector{data, length};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(native_handle(), &message, MSG_DONTWAIT);
  if (n < 0) {
    ec = errno == EAGAIN || errno == EWOULDBLOCK ? asio::error::would_block
                                                  : asio::error_code(errno, asio::system_category());
    return 0;
  }
  if (n == 0 && length > 0) {
    ec = asio::error::eof;
    return 0;
  }
  ec.clear();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_TCP && c->cmsg_type == TCP_CM_INQ && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int held = 0;
      std::memcpy(&held, CMSG_DATA(c), sizeof held);
      // The kernel reports a pending end of stream as one byte held.
      more = held > 0;
    }
  }
  return static_cast<size_t>(n);
}

}  // namespace qn
