#include "server/core/request_packet.h"

#include <cstring>

namespace qn {

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

namespace {

// Reads a zero-ended text starting at `pos`; there must be a byte at `pos`.
bool TakeText(const uint8_t* data, size_t length, size_t& pos, std::string& out) {
  if (pos >= length) return false;
  const void* end = std::memchr(data + pos, 0, length - pos);
  if (end == nullptr) return false;
  const size_t stop = static_cast<size_t>(static_cast<const uint8_t*>(end) - data);
  out.assign(reinterpret_cast<const char*>(data + pos), stop - pos);
  pos = stop + 1;
  return true;
}

}  // namespace

std::optional<RequestPacket> ParseRequestPacket(const uint8_t* data, size_t length) {
  if (length < 6 || data[0] != kPacketRequest) return std::nullopt;
  RequestPacket request;
  request.requestId = GetU16(data + 1);
  size_t pos = 3;
  if (!TakeText(data, length, pos, request.service)) return std::nullopt;
  if (!TakeText(data, length, pos, request.item)) return std::nullopt;
  if (!TakeText(data, length, pos, request.params)) return std::nullopt;
  return request;
}

std::vector<uint8_t> EncodeRequestPacket(const RequestPacket& request) {
  std::vector<uint8_t> out;
  out.reserve(6 + request.service.size() + request.item.size() + request.params.size());
  out.push_back(kPacketRequest);
  PutU16(out, request.requestId);
  for (const std::string* text : {&request.service, &request.item, &request.params}) {
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
  }
  return out;
}

uint16_t GetPacketRequestId(const uint8_t* data, size_t length) {
  if (length < 3) return 0;
  if (data[0] != kPacketCancel && data[0] != kPacketMoreData) return 0;
  return GetU16(data + 1);
}

void WriteIdHeader(uint8_t* out, uint8_t type, uint16_t requestId) {
  out[0] = type;
  out[1] = static_cast<uint8_t>(requestId & 0xFF);
  out[2] = static_cast<uint8_t>(requestId >> 8);
}

std::vector<uint8_t> EncodeIdPacket(uint8_t type, uint16_t requestId, const uint8_t* body,
                                    size_t length) {
  std::vector<uint8_t> out(kIdHeaderLength);
  out.reserve(kIdHeaderLength + length);
  WriteIdHeader(out.data(), type, requestId);
  if (length > 0) out.insert(out.end(), body, body + length);
  return out;
}

std::vector<uint8_t> EncodeEndPacket(uint16_t requestId) {
  return EncodeIdPacket(kPacketEnd, requestId, nullptr, 0);
}

std::vector<uint8_t> EncodeResultPacket(uint16_t requestId, uint16_t code) {
  std::vector<uint8_t> out = EncodeIdPacket(kPacketResult, requestId, nullptr, 0);
  PutU16(out, code);
  return out;
}

std::vector<uint8_t> EncodeCancelPacket(uint16_t requestId) {
  return EncodeIdPacket(kPacketCancel, requestId, nullptr, 0);
}

std::optional<IdPacket> ParseIdPacket(const uint8_t* data, size_t length) {
  if (length < 3) return std::nullopt;
  IdPacket packet;
  packet.type = data[0];
  packet.requestId = GetU16(data + 1);
  packet.body.assign(data + 3, data + length);
  return packet;
}

std::optional<Hello> ParseHello(const uint8_t* data, size_t length) {
  if (length != kHelloSize) return std::nullopt;
  Hello hello;
  hello.type = data[0];
  hello.flags = data[1];
  const uint32_t bits = GetU32(data + 2);
  std::memcpy(&hello.version, &bits, sizeof bits);
  return hello;
}

std::vector<uint8_t> EncodeHello(const Hello& hello) {
  std::vector<uint8_t> out{hello.type, hello.flags};
  uint32_t bits;
  std::memcpy(&bits, &hello.version, sizeof bits);
  PutU32(out, bits);
  return out;
}

std::vector<uint8_t> EncodeUpdateHeader(uint32_t size, uint32_t modified) {
  std::vector<uint8_t> out;
  PutU32(out, size);
  PutU32(out, modified);
  return out;
}

}  // namespace qn
