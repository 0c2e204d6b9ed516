#include "server/core/result_set.h"

#include <algorithm>
#include <cstring>

#include "server/core/request_packet.h"

namespace {

// Packets are built in one buffer per thread, kept from packet to packet:
// only the block handed out is allocated.
constexpr size_t kKeptBuildRoom = 64 * 1024;
// Reserved at once for a schema or row; a larger declared count grows as
// columns come.
constexpr int kReservedColumns = 64;

std::vector<uint8_t>& BuildBuffer() {
  thread_local std::vector<uint8_t> buffer;
  buffer.clear();
  return buffer;
}

CByteBlock* HandOut(std::vector<uint8_t>& out) {
  auto* block = new CByteBlock(out.data(), static_cast<int32_t>(out.size()));
  // A rare large row does not stay reserved for the thread's life.
  if (out.capacity() > kKeptBuildRoom) std::vector<uint8_t>().swap(out);
  return block;
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

CByteBlock* CColumnTypes::BuildPacket() const {
  if (static_cast<int>(m_columns.size()) < m_nColumnCount) return nullptr;
  std::vector<uint8_t>& out = BuildBuffer();
  qn::PutU16(out, static_cast<uint16_t>(m_nRowCount));
  for (const CColumnDef& column : m_columns) {
    out.push_back(column.type);
    out.insert(out.end(), column.name.begin(), column.name.end());
    out.push_back(0);
  }
  return HandOut(out);
}

CResultRow::CResultRow(const CColumnTypes& schema) : m_schema(schema) {
  if (schema.GetColumnCount() > 0)
    m_values.reserve(static_cast<size_t>(std::min(schema.GetColumnCount(), kReservedColumns)));
}

int CResultRow::AddValue(const void* value) {
  CColumnDef column;
  if (!m_schema.GetColumn(static_cast<int>(m_values.size()), column)) return -1;
  switch (column.type) {
    case kColumnBool:
    case kColumnLong:
    case kColumnDate:
      m_values.emplace_back(column.type, *static_cast<const int32_t*>(value));
      return 0;
    case kColumnByte:
      m_values.emplace_back(column.type, *static_cast<const uint8_t*>(value));
      return 0;
    case kColumnShort:
      m_values.emplace_back(column.type, *static_cast<const int16_t*>(value));
      return 0;
    case kColumnFloat:
      m_values.emplace_back(column.type, *static_cast<const float*>(value));
      return 0;
    case kColumnString:
      m_values.emplace_back(column.type, *static_cast<const std::string*>(value));
      return 0;
    case kColumnBinary:
      m_values.emplace_back(column.type, *static_cast<const CByteBlock*>(value));
      return 0;
    default:
      return -1;
  }
}

CByteBlock* CResultRow::BuildPacket() const {
  std::vector<uint8_t>& out = BuildBuffer();
  for (const auto& [type, value] : m_values) {
    switch (type) {
      case kColumnBool:
        qn::PutU16(out, static_cast<uint16_t>(std::get<int32_t>(value)));
        break;
      case kColumnLong:
      case kColumnDate:
        qn::PutU32(out, static_cast<uint32_t>(std::get<int32_t>(value)));
        break;
      case kColumnByte:
        out.push_back(std::get<uint8_t>(value));
        break;
      case kColumnShort:
        qn::PutU16(out, static_cast<uint16_t>(std::get<int16_t>(value)));
        break;
      case kColumnFloat: {
        uint32_t bits;
        const float f = std::get<float>(value);
        std::memcpy(&bits, &f, sizeof bits);
        qn::PutU32(out, bits);
        break;
      }
      case kColumnString: {
        const std::string& text = std::get<std::string>(value);
        // The client reads up to the first zero byte; an inner zero would
        // shift every later column, so the text ends there.
        out.insert(out.end(), text.begin(), std::find(text.begin(), text.end(), '\0'));
        out.push_back(0);
        break;
      }
      case kColumnBinary: {
        const CByteBlock& block = std::get<CByteBlock>(value);
        qn::PutU16(out, static_cast<uint16_t>(block.length));
        if (block.length > 0) out.insert(out.end(), block.data, block.data + (block.length & 0xFFFF));
        break;
      }
    }
  }
  return HandOut(out);
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
