// Table replies: the column schema (first reply, type 3) and one packet body
// per row (type 4). Sizes are 16-bit: a schema or row encodes to at most
// 65535 bytes and must fit a frame with its 3-byte header to travel.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/byte_block.h"

enum ColumnType : uint8_t {
  kColumnBool = 1,    // int32_t given, 2 bytes sent (low 16 bits)
  kColumnByte = 2,    // uint8_t
  kColumnShort = 3,   // int16_t
  kColumnLong = 4,    // int32_t
  kColumnFloat = 5,   // float
  kColumnDate = 6,    // int32_t seconds since 1970 UTC
  kColumnString = 7,  // std::string, sent with a zero byte after it
  kColumnBinary = 8,  // CByteBlock, sent after a 16-bit length
};

struct CColumnDef {
  uint8_t type = 0;
  std::string name;
};

class CColumnTypes {
 public:
  // rowCount: the rows that will follow, or -1 when not known beforehand.
  CColumnTypes(int columnCount, int32_t rowCount);
  CColumnTypes(const CColumnTypes&) = default;
  CColumnTypes& operator=(const CColumnTypes&) = default;

  // -1 without adding once every column is defined (or for row count -2).
  int AddColumn(uint8_t type, const std::string& name);
  int AddColumnDef(const CColumnDef& def) { return AddColumn(def.type, def.name); }
  int GetColumnCount() const { return m_nColumnCount; }
  int32_t GetRowCount() const { return m_nRowCount; }
  bool GetColumn(int index, CColumnDef& out) const;
  // The schema body; null while columns are still missing. Caller owns it.
  CByteBlock* BuildPacket() const;

 private:
  std::vector<CColumnDef> m_columns;
  int m_nColumnCount;
  int32_t m_nRowCount;
};

class CResultRow {
 public:
  explicit CResultRow(const CColumnTypes& schema);

  // `value` points at the C++ type the next column's type names (see
  // ColumnType). -1 when every column has its value or the type is unknown.
  int AddValue(const void* value);
  // The row body of the values added so far. Caller owns it.
  CByteBlock* BuildPacket() const;

 private:
  using Value = std::variant<int32_t, uint8_t, int16_t, float, std::string, CByteBlock>;
  // The schema's column types: all a row needs of it.
  std::vector<uint8_t> m_types;
  std::vector<std::pair<uint8_t, Value>> m_values;
};

// The client's side: schema and row bodies back into values. Nothing for a
// body that does not hold what it claims.
namespace qn {

struct DecodedSchema {
  int32_t rowCount = 0;  // -1 for 0xFFFF
  std::vector<CColumnDef> columns;
};
std::optional<DecodedSchema> DecodeSchema(const uint8_t* data, size_t length);

using DecodedValue = std::variant<int32_t, float, std::string, std::vector<uint8_t>>;
std::optional<std::vector<DecodedValue>> DecodeRow(const std::vector<CColumnDef>& columns,
                                                   const uint8_t* data, size_t length);

}  // namespace qn
