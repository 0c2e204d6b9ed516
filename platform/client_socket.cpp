#include "platform/client_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace qn {

namespace {

asio::error_code FromErrno(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return asio::error::would_block;
  return asio::error_code(error, asio::system_category());
}

}  // namespace

bool ClientSocket::Adopt(asio::ip::tcp::socket&& socket, SocketReadiness::Watcher* watcher) {
  Close();
  asio::error_code ec;
  const int fd = socket.release(ec);
  if (ec || fd < 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  const int on = 1;
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    ::close(fd);
    return false;
  }
  m_bHint = ::setsockopt(fd, IPPROTO_TCP, TCP_INQ, &on, sizeof on) == 0;
  m_pEntry = SocketReadiness::Main().Add(fd, watcher);
  if (m_pEntry == nullptr) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

size_t ClientSocket::ReceiveSome(void* data, size_t length, asio::error_code& ec, bool& more) {
  more = true;
  iovec vector{data, length};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  if (m_bHint) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  const ssize_t n = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
  if (n < 0) {
    ec = FromErrno(errno);
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

size_t ClientSocket::SendSome(const iovec* parts, size_t count, asio::error_code& ec) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(parts);
  message.msg_iovlen = count < IOV_MAX ? count : IOV_MAX;
  const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    ec = FromErrno(errno);
    return 0;
  }
  ec.clear();
  return static_cast<size_t>(n);
}

void ClientSocket::Shutdown() {
  if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

void ClientSocket::Close() {
  if (m_fd < 0) return;
  SocketReadiness::Main().Remove(m_fd, m_pEntry);
  m_pEntry = nullptr;
  ::close(m_fd);
  m_fd = -1;
}

}  // namespace qn
