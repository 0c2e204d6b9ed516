// The packet parsers and the result-set decoders on any bytes: what they
// accept encodes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "server/core/request_packet.h"
#include "server/core/result_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto request = qn::ParseRequestPacket(data, size)) {
    const std::vector<uint8_t> encoded = qn::EncodeRequestPacket(*request);
    if (encoded.size() > size || std::memcmp(encoded.data(), data, encoded.size()) != 0) std::abort();
  }
  if (auto hello = qn::ParseHello(data, size)) {
    if (qn::EncodeHello(*hello) != std::vector<uint8_t>(data, data + size)) std::abort();
  }
  const uint16_t id = qn::GetPacketRequestId(data, size);
  if (id != 0 && (size < 3 || (data[0] != qn::kPacketCancel && data[0] != qn::kPacketMoreData)))
    std::abort();
  if (auto packet = qn::ParseIdPacket(data, size)) {
    if (packet->body.size() + 3 != size) std::abort();
  }

  // A schema followed by a row: split at the first byte's value.
  if (size < 1) return 0;
  const size_t split = 1 + data[0] % (size);
  if (auto schema = qn::DecodeSchema(data + 1, split - 1)) {
    CColumnTypes types(static_cast<int>(schema->columns.size()), schema->rowCount);
    for (const CColumnDef& column : schema->columns) types.AddColumn(column.type, column.name);
    std::unique_ptr<CByteBlock> body(types.BuildPacket());
    if (body == nullptr || static_cast<size_t>(body->length) != split - 1 ||
        std::memcmp(body->data, data + 1, split - 1) != 0)
      std::abort();
    qn::DecodeRow(schema->columns, data + split, size - split);
  }
  return 0;
}
