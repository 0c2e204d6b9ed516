#include "server/core/result_set.h"

#include <algorithm>
#include <cstring>

#include "server/core/request_packet.h"

namespace {

// Reserved at once for a schema or row; a larger declared count grows as
// columns come.
constexpr int kReservedColumns = 64;

void Put16(uint8_t*& out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out += 2;
}

void Put32(uint8_t*& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
  out += 4;
}

void PutBytes(uint8_t*& out, const void* bytes, size_t length) {
  if (length > 0) std::memcpy(out, bytes, length);
  out += length;
}

// The client reads a string up to its first zero byte; an inner zero would
// shift every later column, so the text ends there.
size_t SentLength(const std::string& text) {
  return static_cast<size_t>(std::find(text.begin(), text.end(), '\0') - text.begin());
}

}  // namespace

CColumnTypes::CColumnTypes(int columnCount, int32_t rowCount)
    : m_nColumnCount(columnCount), m_nRowCount(rowCount) {
  // Columns are added one by one up to the declared count.
  if (columnCount > 0) m_columns.reserve(static_cast<size_t>(std::min(columnCount, kReservedColumns)));
}

int CColumnTypes::AddColumn(uint8_t type, const std::string& name) {
  if (static_cast<int>(m_columns.size()) >= m_nColumnCount || m_nRowCount == -2) return -1;
  m_columns.push_back(CColumnDef{type, name});
  return 0;
}

bool CColumnTypes::GetColumn(int index, CColumnDef& out) const {
  if (index < 0 || index >= static_cast<int>(m_columns.size())) return false;
  out = m_columns[static_cast<size_t>(index)];
  return true;
}

// Packets are sized first and encoded straight into the block handed out:
// the bytes are written once here and copied once, into the connection's
// output queue.
CByteBlock* CColumnTypes::BuildPacket() const {
  if (static_cast<int>(m_columns.size()) < m_nColumnCount) return nullptr;
  size_t size = 2;
  for (const CColumnDef& column : m_columns) size += 1 + column.name.size() + 1;
  auto* block = new CByteBlock(nullptr, static_cast<int32_t>(size));
  uint8_t* out = block->data;
  Put16(out, static_cast<uint16_t>(m_nRowCount));
  for (const CColumnDef& column : m_columns) {
    *out++ = column.type;
    PutBytes(out, column.name.data(), column.name.size());
    *out++ = 0;
  }
  return block;
}

CResultRow::CResultRow(const CColumnTypes& schema) {
  const int count = std::min(schema.GetColumnCount(), kReservedColumns);
  if (count > 0) {
    m_types.reserve(static_cast<size_t>(count));
    m_values.reserve(static_cast<size_t>(count));
  }
  CColumnDef column;
  for (int i = 0; schema.GetColumn(i, column); ++i) m_types.push_back(column.type);
}

int CResultRow::AddValue(const void* value) {
  if (m_values.size() >= m_types.size()) return -1;
  const uint8_t type = m_types[m_values.size()];
  switch (type) {
    case kColumnBool:
    case kColumnLong:
    case kColumnDate:
      m_values.emplace_back(type, *static_cast<const int32_t*>(value));
      return 0;
    case kColumnByte:
      m_values.emplace_back(type, *static_cast<const uint8_t*>(value));
      return 0;
    case kColumnShort:
      m_values.emplace_back(type, *static_cast<const int16_t*>(value));
      return 0;
    case kColumnFloat:
      m_values.emplace_back(type, *static_cast<const float*>(value));
      return 0;
    case kColumnString:
      m_values.emplace_back(type, *static_cast<const std::string*>(value));
      return 0;
    case kColumnBinary:
      m_values.emplace_back(type, *static_cast<const CByteBlock*>(value));
      return 0;
    default:
      return -1;
  }
}

CByteBlock* CResultRow::BuildPacket() const {
  size_t size = 0;
  for (const auto& [type, value] : m_values) {
    switch (type) {
      case kColumnBool:
      case kColumnShort:
        size += 2;
        break;
      case kColumnLong:
      case kColumnDate:
      case kColumnFloat:
        size += 4;
        break;
      case kColumnByte:
        size += 1;
        break;
      case kColumnString:
        size += SentLength(std::get<std::string>(value)) + 1;
        break;
      case kColumnBinary:
        size += 2 + (static_cast<size_t>(std::get<CByteBlock>(value).length) & 0xFFFF);
        break;
    }
  }
  auto* block = new CByteBlock(nullptr, static_cast<int32_t>(size));
  uint8_t* out = block->data;
  for (const auto& [type, value] : m_values) {
    switch (type) {
      case kColumnBool:
        Put16(out, static_cast<uint16_t>(std::get<int32_t>(value)));
        break;
      case kColumnLong:
      case kColumnDate:
        Put32(out, static_cast<uint32_t>(std::get<int32_t>(value)));
        break;
      case kColumnByte:
        *out++ = std::get<uint8_t>(value);
        break;
      case kColumnShort:
        Put16(out, static_cast<uint16_t>(std::get<int16_t>(value)));
        break;
      case kColumnFloat: {
        uint32_t bits;
        const float f = std::get<float>(value);
        std::memcpy(&bits, &f, sizeof bits);
        Put32(out, bits);
        break;
      }
      case kColumnString: {
        const std::string& text = std::get<std::string>(value);
        PutBytes(out, text.data(), SentLength(text));
        *out++ = 0;
        break;
      }
      case kColumnBinary: {
        const CByteBlock& bytes = std::get<CByteBlock>(value);
        const size_t length = static_cast<size_t>(bytes.length) & 0xFFFF;
        Put16(out, static_cast<uint16_t>(bytes.length));
        PutBytes(out, bytes.data, length);
        break;
      }
    }
  }
  return block;
}

namespace qn {

std::optional<DecodedSchema> DecodeSchema(const uint8_t* data, size_t length) {
  if (length < 2) return std::nullopt;
  DecodedSchema schema;
  const uint16_t rows = GetU16(data);
  schema.rowCount = rows == 0xFFFF ? -1 : rows;
  size_t pos = 2;
  while (pos < length) {
    CColumnDef column;
    column.type = data[pos++];
    const void* end = std::memchr(data + pos, 0, length - pos);
    if (end == nullptr) return std::nullopt;
    const size_t stop = static_cast<size_t>(static_cast<const uint8_t*>(end) - data);
    column.name.assign(reinterpret_cast<const char*>(data + pos), stop - pos);
    pos = stop + 1;
    schema.columns.push_back(std::move(column));
  }
  return schema;
}

std::optional<std::vector<DecodedValue>> DecodeRow(const std::vector<CColumnDef>& columns,
                                                   const uint8_t* data, size_t length) {
  std::vector<DecodedValue> values;
  size_t pos = 0;
  auto need = [&](size_t n) { return length - pos >= n; };
  for (const CColumnDef& column : columns) {
    switch (column.type) {
      case kColumnBool:
      case kColumnShort:
        if (!need(2)) return std::nullopt;
        values.emplace_back(static_cast<int32_t>(static_cast<int16_t>(GetU16(data + pos))));
        pos += 2;
        break;
      case kColumnByte:
        if (!need(1)) return std::nullopt;
        values.emplace_back(static_cast<int32_t>(data[pos++]));
        break;
      case kColumnLong:
      case kColumnDate:
        if (!need(4)) return std::nullopt;
        values.emplace_back(static_cast<int32_t>(GetU32(data + pos)));
        pos += 4;
        break;
      case kColumnFloat: {
        if (!need(4)) return std::nullopt;
        const uint32_t bits = GetU32(data + pos);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        values.emplace_back(f);
        pos += 4;
        break;
      }
      case kColumnString: {
        const void* end = pos < length ? std::memchr(data + pos, 0, length - pos) : nullptr;
        if (end == nullptr) return std::nullopt;
        const size_t stop = static_cast<size_t>(static_cast<const uint8_t*>(end) - data);
        values.emplace_back(std::string(reinterpret_cast<const char*>(data + pos), stop - pos));
        pos = stop + 1;
        break;
      }
      case kColumnBinary: {
        if (!need(2)) return std::nullopt;
        const size_t n = GetU16(data + pos);
        pos += 2;
        if (!need(n)) return std::nullopt;
        values.emplace_back(std::vector<uint8_t>(data + pos, data + pos + n));
        pos += n;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  if (pos != length) return std::nullopt;
  return values;
}

}  // namespace qn
