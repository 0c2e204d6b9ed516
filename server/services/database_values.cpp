#include "server/services/database_values.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "common/helpers.h"
#include "server/core/result_set.h"

namespace qn::dbservice {

namespace {

std::string_view Trimmed(const std::string& text) {
  std::string_view view(text);
  while (!view.empty() && std::isspace(static_cast<unsigned char>(view.front()))) view.remove_prefix(1);
  while (!view.empty() && std::isspace(static_cast<unsigned char>(view.back()))) view.remove_suffix(1);
  return view;
}

bool WholeInteger(std::string_view text, long long& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

bool WholeDecimal(std::string_view text, double& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), out, std::chars_format::general);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(out);
}

}  // namespace

int NormaliseSqlType(int sqlType) {
  switch (sqlType) {
    case SQL_TYPE_DATE: return SQL_DATE;
    case SQL_TYPE_TIME: return SQL_TIME;
    case SQL_TYPE_TIMESTAMP: return SQL_TIMESTAMP;
    default: return sqlType;
  }
}

uint8_t ResultColumnType(int sqlType) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_VARCHAR: return kColumnString;
    case SQL_INTEGER: return kColumnLong;
    case SQL_SMALLINT: return kColumnShort;
    case SQL_REAL: return kColumnFloat;
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP: return kColumnDate;
    case SQL_BIT: return kColumnBool;
    case SQL_TINYINT: return kColumnByte;
    case SQL_LONGVARCHAR:
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: return kColumnBinary;
    default: return 0;
  }
}

Conversion ConvertText(const std::string& text, int sqlType, CDynaHolder& out) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR: out = text; return Conversion::kValue;
    case SQL_INTEGER: {
      const long value = std::atol(text.c_str());
      if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return Conversion::kOutOfRange;
      out = static_cast<int32_t>(value);
      return Conversion::kValue;
    }
    case SQL_SMALLINT: {
      const long value = std::atol(text.c_str());
      if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max())
        return Conversion::kOutOfRange;
      out = static_cast<int16_t>(value);
      return Conversion::kValue;
    }
    case SQL_TINYINT: {
      const long value = std::atol(text.c_str());
      if (value < 0 || value > 255) return Conversion::kOutOfRange;
      out = static_cast<uint8_t>(value);
      return Conversion::kValue;
    }
    case SQL_FLOAT:
    case SQL_DOUBLE: out = std::atof(text.c_str()); return Conversion::kValue;
    case SQL_REAL: {
      const double value = std::atof(text.c_str());
      if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max())
        return Conversion::kOutOfRange;
      out = static_cast<float>(value);
      return Conversion::kValue;
    }
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP: {
      std::time_t time = 0;
      if (!DateStringToCTime(text, time)) {
        // 0 (or no number) is no date; any other number the conversion
        // cannot hold would otherwise be stored as no date too.
        if (std::atof(text.c_str()) != 0.0) return Conversion::kOutOfRange;
        time = 0;
      }
      out = time;
      return Conversion::kValue;
    }
    case SQL_BIT: {
      const char c = text.empty() ? 0 : text[0];
      out = int32_t{c == 'T' || c == 't' || c == 'Y' || c == 'y' || c == '1'};
      return Conversion::kValue;
    }
    default: return Conversion::kNoValue;
  }
}

bool ConvertKey(const std::string& text, int sqlType, CDynaHolder& out) {
  const std::string_view value = Trimmed(text);
  long long number = 0;
  double real = 0;
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR: out = text; return true;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      if (!WholeDecimal(value, real)) return false;
      out = std::string(value);
      return true;
    case SQL_INTEGER:
      if (!WholeInteger(value, number) || number < std::numeric_limits<int32_t>::min() ||
          number > std::numeric_limits<int32_t>::max())
        return false;
      out = static_cast<int32_t>(number);
      return true;
    case SQL_SMALLINT:
      if (!WholeInteger(value, number) || number < std::numeric_limits<int16_t>::min() ||
          number > std::numeric_limits<int16_t>::max())
        return false;
      out = static_cast<int16_t>(number);
      return true;
    case SQL_TINYINT:
      if (!WholeInteger(value, number) || number < 0 || number > 255) return false;
      out = static_cast<uint8_t>(number);
      return true;
    case SQL_BIT:
      if (!WholeInteger(value, number)) return false;
      out = int32_t{number != 0};
      return true;
    case SQL_REAL:
      if (!WholeDecimal(value, real) || std::fabs(real) > std::numeric_limits<float>::max()) return false;
      out = static_cast<float>(real);
      return true;
    case SQL_FLOAT:
    case SQL_DOUBLE:
      if (!WholeDecimal(value, real)) return false;
      out = real;
      return true;
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP: {
      std::time_t time = 0;
      if (!WholeDecimal(value, real) || !DateStringToCTime(std::string(value), time)) return false;
      out = time;
      return true;
    }
    default: return false;
  }
}

RowCell MakeRowCell(const CDynaHolder& holder, int sqlType) {
  RowCell cell;
  cell.type = ResultColumnType(sqlType);
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_VARCHAR: {
      const auto* text = std::get_if<std::string>(&holder);
      cell.value = text ? *text : std::string();
      break;
    }
    case SQL_INTEGER:
    case SQL_BIT: {
      const auto* n = std::get_if<int32_t>(&holder);
      cell.value = n ? *n : 0;
      break;
    }
    case SQL_SMALLINT: {
      const auto* n = std::get_if<int16_t>(&holder);
      cell.value = n ? *n : int16_t{0};
      break;
    }
    case SQL_TINYINT: {
      const auto* n = std::get_if<uint8_t>(&holder);
      cell.value = n ? *n : uint8_t{0};
      break;
    }
    case SQL_REAL: {
      const auto* f = std::get_if<float>(&holder);
      cell.value = f ? *f : 0.0f;
      break;
    }
    case SQL_FLOAT:
    case SQL_DOUBLE: {
      const auto* d = std::get_if<double>(&holder);
      char text[400];
      std::snprintf(text, sizeof text, "%f", d ? *d : 0.0);
      cell.value = std::string(text);
      break;
    }
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP: {
      const auto* t = std::get_if<std::time_t>(&holder);
      cell.value = static_cast<int32_t>(t ? *t : 0);
      break;
    }
    default: {
      std::vector<uint8_t> bytes;
      if (const auto* b = std::get_if<std::vector<uint8_t>>(&holder)) bytes = *b;
      if (const auto* s = std::get_if<std::string>(&holder)) bytes.assign(s->begin(), s->end());
      cell.value = std::move(bytes);
      break;
    }
  }
  return cell;
}

size_t EncodedSize(const RowCell& cell) {
  switch (cell.type) {
    case kColumnBool:
    case kColumnShort: return 2;
    case kColumnByte: return 1;
    case kColumnLong:
    case kColumnFloat:
    case kColumnDate: return 4;
    case kColumnString: {
      const auto& text = std::get<std::string>(cell.value);
      const size_t zero = text.find('\0');
      return (zero == std::string::npos ? text.size() : zero) + 1;
    }
    case kColumnBinary: return 2 + std::get<std::vector<uint8_t>>(cell.value).size();
    default: return 0;
  }
}

void FitRow(std::vector<RowCell>& cells, size_t limit) {
  for (RowCell& cell : cells) {
    // A text ends at its first zero byte on the wire.
    if (auto* text = std::get_if<std::string>(&cell.value)) {
      const size_t zero = text->find('\0');
      if (zero != std::string::npos) text->resize(zero);
    }
    if (auto* bytes = std::get_if<std::vector<uint8_t>>(&cell.value); bytes && bytes->size() > 0xFFFF)
      bytes->resize(0xFFFF);
  }
  for (;;) {
    size_t total = 0;
    for (const RowCell& cell : cells) total += EncodedSize(cell);
    if (total <= limit) return;
    RowCell* longest = nullptr;
    size_t longestSize = 0;
    for (RowCell& cell : cells) {
      size_t size = 0;
      if (auto* text = std::get_if<std::string>(&cell.value)) size = text->size();
      if (auto* bytes = std::get_if<std::vector<uint8_t>>(&cell.value)) size = bytes->size();
      if (size > longestSize) longest = &cell, longestSize = size;
    }
    if (longest == nullptr) return;
    const size_t keep = longestSize - std::min(longestSize, total - limit);
    if (auto* text = std::get_if<std::string>(&longest->value)) text->resize(keep);
    if (auto* bytes = std::get_if<std::vector<uint8_t>>(&longest->value)) bytes->resize(keep);
  }
}

}  // namespace qn::dbservice
