// A client of the server's protocol for tests and load generators: frames,
// the hello, requests, follow-ups, cancel, and the decoding of replies. Every
// read has a deadline, so a test never hangs on a silent server.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/core/request_packet.h"
#include "server/core/result_set.h"

namespace qn::client {

using Bytes = std::vector<uint8_t>;

class ProtocolClient {
 public:
  ProtocolClient() = default;
  ~ProtocolClient();
  ProtocolClient(ProtocolClient&& other) noexcept;
  ProtocolClient& operator=(ProtocolClient&& other) noexcept;
  ProtocolClient(const ProtocolClient&) = delete;
  ProtocolClient& operator=(const ProtocolClient&) = delete;

  bool Connect(uint16_t port, int timeoutMs = 5000);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }

  // Bytes as they stand, no framing.
  bool SendRaw(const Bytes& bytes);
  bool SendFrame(const Bytes& payload);
  // The next frame's payload; nothing on timeout, close or error.
  std::optional<Bytes> ReadFrame(int timeoutMs = 5000);
  // True when the server closes the connection within the time, with no
  // frame arriving first (`framesSeen` counts frames that did arrive).
  bool WaitClosed(int timeoutMs = 5000, int* framesSeen = nullptr);
  // Nothing arrives within the time (the connection stays open).
  bool StaysSilent(int timeoutMs);

  // Sends the hello and reads its 2-byte answer.
  std::optional<Bytes> Hello(uint8_t flags = 0, float version = 9.99f, int timeoutMs = 5000);
  bool Request(uint16_t id, const std::string& service, const std::string& item,
               const std::string& params = "");
  bool FollowUp(uint16_t id, const Bytes& data);
  bool FollowUp(uint16_t id, const std::string& data) { return FollowUp(id, Bytes(data.begin(), data.end())); }
  bool Cancel(uint16_t id);

  std::optional<IdPacket> ReadReply(int timeoutMs = 5000);

 private:
  bool Fill(size_t want, int timeoutMs);
  int m_fd = -1;
  Bytes m_pending;
};

// A whole reply to one request: a result code, or a schema with rows and the
// end packet.
struct TableReply {
  std::optional<uint16_t> result;
  std::optional<DecodedSchema> schema;
  std::vector<Bytes> rawRows;
  std::vector<std::vector<DecodedValue>> rows;
  bool ended = false;
};

// Reads the replies to `id` until its end or result code; replies to other
// IDs are skipped. Nothing when the time runs out or the connection closes.
std::optional<TableReply> ReadTable(ProtocolClient& client, uint16_t id, int timeoutMs = 5000);

// The parameter string of the given texts (separated by 0x01).
std::string Params(const std::vector<std::string>& parts);

}  // namespace qn::client
