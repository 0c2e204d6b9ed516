// The packets that travel inside frames: the hello and its answers, the
// client update header, and every packet that carries a request ID.
// Byte 0 of a request-carrying packet is its type; numbers are little-endian.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qn {

enum PacketType : uint8_t {
  kPacketRequest = 1,   // client: a new request
  kPacketCancel = 2,    // client: cancel the open request
  kPacketSchema = 3,    // server: first reply (a schema or other data)
  kPacketMoreData = 4,  // server: further reply data; client: follow-up data
  kPacketEnd = 5,       // server: end of the request
  kPacketResult = 6,    // server: the request failed with a result code
};

inline constexpr uint16_t kResultNoService = 0x1302;
inline constexpr uint16_t kResultNoSuchRequest = 0x1303;
inline constexpr uint16_t kResultBadParameters = 0x1304;
inline constexpr uint16_t kResultServiceException = 0x1306;
inline constexpr uint16_t kResultMissing = 0x9999;

inline constexpr char kParamSeparator = '\x01';

struct RequestPacket {
  uint16_t requestId = 0;
  std::string service;
  std::string item;
  std::string params;  // parameters separated by kParamSeparator
};

// A type-1 packet: type, ID, then service, item and parameters, each ended by
// a zero byte inside the packet with at least one byte left before it.
// Nothing for anything else.
std::optional<RequestPacket> ParseRequestPacket(const uint8_t* data, size_t length);
std::vector<uint8_t> EncodeRequestPacket(const RequestPacket& request);

// The ID at bytes 1-2 of a cancel or follow-up packet; 0 for any other type
// (also for packets shorter than 3 bytes).
uint16_t GetPacketRequestId(const uint8_t* data, size_t length);

// type, ID, body: the reply packets 3 and 4 and the client's follow-up 4.
std::vector<uint8_t> EncodeIdPacket(uint8_t type, uint16_t requestId, const uint8_t* body,
                                    size_t length);
inline constexpr size_t kIdHeaderLength = 3;
// The type and ID into the first kIdHeaderLength bytes at `out`.
void WriteIdHeader(uint8_t* out, uint8_t type, uint16_t requestId);
std::vector<uint8_t> EncodeEndPacket(uint16_t requestId);
std::vector<uint8_t> EncodeResultPacket(uint16_t requestId, uint16_t code);
std::vector<uint8_t> EncodeCancelPacket(uint16_t requestId);

// A packet that carries a request ID, as a client reads it.
struct IdPacket {
  uint8_t type = 0;
  uint16_t requestId = 0;
  std::vector<uint8_t> body;  // after the 3-byte header
};
std::optional<IdPacket> ParseIdPacket(const uint8_t* data, size_t length);

// The hello: type 1, client flags, client version (float). Exactly 6 bytes.
inline constexpr size_t kHelloSize = 6;
inline constexpr uint8_t kHelloFlagAckBlocks = 0x01;  // acknowledges file blocks
inline constexpr uint8_t kHelloFlagPullUpdate = 0x02;  // fetches an update itself
struct Hello {
  uint8_t type = 1;
  uint8_t flags = 0;
  float version = 0.0f;
};
std::optional<Hello> ParseHello(const uint8_t* data, size_t length);
std::vector<uint8_t> EncodeHello(const Hello& hello);

// The update header: file size and last-modification time, 8 bytes.
std::vector<uint8_t> EncodeUpdateHeader(uint32_t size, uint32_t modified);

void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

}  // namespace qn
