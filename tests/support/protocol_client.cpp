#include "support/protocol_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "server/core/frame_decoder.h"
#include "support/deadline.h"

namespace qn::client {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ProtocolClient::~ProtocolClient() { Close(); }

ProtocolClient::ProtocolClient(ProtocolClient&& other) noexcept
    : m_fd(other.m_fd), m_pending(std::move(other.m_pending)) {
  other.m_fd = -1;
}

ProtocolClient& ProtocolClient::operator=(ProtocolClient&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.m_fd;
    m_pending = std::move(other.m_pending);
    other.m_fd = -1;
  }
  return *this;
}

bool ProtocolClient::Connect(uint16_t port, int timeoutMs) {
  Close();
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      Close();
      return false;
    }
    pollfd p{m_fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, timeoutMs) != 1 ||
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      Close();
      return false;
    }
  }
  const int one = 1;
  ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

void ProtocolClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_pending.clear();
}

bool ProtocolClient::SendRaw(const Bytes& bytes) {
  if (m_fd < 0) return false;
  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (done < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd p{m_fd, POLLOUT, 0};
      if (::poll(&p, 1, qn::test::MillisLeft(deadline)) != 1) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool ProtocolClient::SendFrame(const Bytes& payload) {
  Bytes frame;
  if (!qn::EncodeFrame(payload.data(), payload.size(), frame)) {
    // Oversized on purpose (tests of the limit): the length field says so.
    frame = {static_cast<uint8_t>(payload.size() & 0xFF), static_cast<uint8_t>(payload.size() >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
  }
  return SendRaw(frame);
}

bool ProtocolClient::Fill(size_t want, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[65536];
  while (m_pending.size() < want) {
    if (m_fd < 0) return false;
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      m_pending.insert(m_pending.end(), buffer, buffer + n);
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{m_fd, POLLIN, 0};
    const int left = qn::test::MillisLeft(deadline);
    if (left == 0 || ::poll(&p, 1, left) != 1) return false;
  }
  return true;
}

std::optional<Bytes> ProtocolClient::ReadFrame(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!Fill(2, timeoutMs)) return std::nullopt;
  const size_t length = static_cast<size_t>(m_pending[0]) | static_cast<size_t>(m_pending[1]) << 8;
  if (!Fill(2 + length, qn::test::MillisLeft(deadline))) return std::nullopt;
  Bytes payload(m_pending.begin() + 2, m_pending.begin() + 2 + static_cast<std::ptrdiff_t>(length));
  m_pending.erase(m_pending.begin(), m_pending.begin() + 2 + static_cast<std::ptrdiff_t>(length));
  return payload;
}

bool ProtocolClient::WaitClosed(int timeoutMs, int* framesSeen) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int frames = 0;
  uint8_t buffer[65536];
  bool closed = false;
  while (m_fd >= 0) {
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      m_pending.insert(m_pending.end(), buffer, buffer + n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      closed = true;
      break;
    }
    pollfd p{m_fd, POLLIN, 0};
    const int left = qn::test::MillisLeft(deadline);
    if (left == 0 || ::poll(&p, 1, left) < 0) break;
  }
  // Count whole frames that came before the close.
  size_t pos = 0;
  while (m_pending.size() - pos >= 2) {
    const size_t length = static_cast<size_t>(m_pending[pos]) | static_cast<size_t>(m_pending[pos + 1]) << 8;
    if (m_pending.size() - pos - 2 < length) break;
    pos += 2 + length;
    ++frames;
  }
  if (framesSeen != nullptr) *framesSeen = frames;
  return closed && m_pending.empty();
}

bool ProtocolClient::StaysSilent(int timeoutMs) {
  if (!m_pending.empty() || m_fd < 0) return false;
  pollfd p{m_fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 0;
}

std::optional<Bytes> ProtocolClient::Hello(uint8_t flags, float version, int timeoutMs) {
  if (!SendFrame(qn::EncodeHello({1, flags, version}))) return std::nullopt;
  return ReadFrame(timeoutMs);
}

bool ProtocolClient::Request(uint16_t id, const std::string& service, const std::string& item,
                             const std::string& params) {
  return SendFrame(qn::EncodeRequestPacket({id, service, item, params}));
}

bool ProtocolClient::FollowUp(uint16_t id, const Bytes& data) {
  return SendFrame(qn::EncodeIdPacket(qn::kPacketMoreData, id, data.data(), data.size()));
}

bool ProtocolClient::Cancel(uint16_t id) { return SendFrame(qn::EncodeCancelPacket(id)); }

std::optional<IdPacket> ProtocolClient::ReadReply(int timeoutMs) {
  auto frame = ReadFrame(timeoutMs);
  if (!frame) return std::nullopt;
  return qn::ParseIdPacket(frame->data(), frame->size());
}

std::optional<TableReply> ReadTable(ProtocolClient& client, uint16_t id, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  TableReply table;
  for (;;) {
    auto reply = client.ReadReply(qn::test::MillisLeft(deadline));
    if (!reply) return std::nullopt;
    if (reply->requestId != id) continue;
    switch (reply->type) {
      case kPacketResult:
        if (reply->body.size() != 2) return std::nullopt;
        table.result = GetU16(reply->body.data());
        return table;
      case kPacketEnd:
        table.ended = true;
        return table;
      case kPacketSchema:
        table.schema = DecodeSchema(reply->body.data(), reply->body.size());
        if (!table.schema) return std::nullopt;
        break;
      case kPacketMoreData: {
        table.rawRows.push_back(reply->body);
        if (table.schema) {
          auto row = DecodeRow(table.schema->columns, reply->body.data(), reply->body.size());
          if (!row) return std::nullopt;
          table.rows.push_back(std::move(*row));
        }
        break;
      }
      default:
        return std::nullopt;
    }
  }
}

std::string Params(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += kParamSeparator;
    out += parts[i];
  }
  return out;
}

}  // namespace qn::client
