#include "server/data/dyna_bind.h"

#include <strings.h>

#include <algorithm>

namespace {

FieldKind KindOf(const CDynaHolder& holder, int sqlType) {
  switch (holder.index()) {
    case 0: return FieldKind::Text;
    case 1: return sqlType == SQL_BIT ? FieldKind::Bool : FieldKind::Long;
    case 2: return FieldKind::Int;
    case 3: return FieldKind::Single;
    case 4: return FieldKind::Double;
    case 5: return FieldKind::Date;
    case 6: return FieldKind::Byte;
    default:
      return sqlType == SQL_BINARY || sqlType == SQL_VARBINARY ? FieldKind::Binary
                                                               : FieldKind::LongBinary;
  }
}

// Long text is read and written whole, as large objects are.
constexpr int kWholeText = 0x7FFFFFFF;

void* AddressOf(CDynaHolder& holder) {
  return std::visit([](auto& value) -> void* { return &value; }, holder);
}

}  // namespace

bool MakeDynaHolder(int sqlType, CDynaHolder& holder) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR: holder = std::string(); return true;
    case SQL_INTEGER:
    case SQL_BIT: holder = int32_t{0}; return true;
    case SQL_SMALLINT: holder = int16_t{0}; return true;
    case SQL_REAL: holder = 0.0f; return true;
    case SQL_FLOAT:
    case SQL_DOUBLE: holder = 0.0; return true;
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP: holder = std::time_t{0}; return true;
    case SQL_TINYINT: holder = uint8_t{0}; return true;
    case SQL_LONGVARBINARY:
    case SQL_BINARY:
    case SQL_VARBINARY: holder = std::vector<uint8_t>(); return true;
    default: return false;
  }
}

CDynaBind::CDynaBind(CDatabase* database) : CRecordset(database) {}

void CDynaBind::AddColumn(const std::string& column, int sqlType, int length) {
  if (static_cast<int>(columns_.size()) >= kMaxColumns) return;
  const size_t dot = column.find('.');
  if (dot == std::string::npos) return;
  const std::string prefix = column.substr(0, dot);
  std::string name = column.substr(dot + 1);
  std::string table = prefix;
  std::string alias;
  const size_t paren = name.find('(');
  if (paren != std::string::npos) {
    table = name.substr(paren + 1);
    if (!table.empty()) table.pop_back();
    alias = prefix;
    name = name.substr(0, paren);
  }
  auto holder = std::make_unique<CDynaHolder>();
  if (!MakeDynaHolder(sqlType, *holder)) return;

  const int bound = std::max(length + 2, static_cast<int>(column.size()));
  columns_.push_back({(alias.empty() ? table : alias) + "." + name, sqlType, bound, std::move(holder)});
  const std::string entry = alias.empty() ? table : table + " " + alias;
  const bool known = std::any_of(tables_.begin(), tables_.end(), [&](const std::string& t) {
    return strcasecmp(t.c_str(), entry.c_str()) == 0;
  });
  if (!known) tables_.push_back(entry);
  m_nFields = static_cast<int>(columns_.size());
}

void CDynaBind::AddParam(std::unique_ptr<CDynaHolder> holder, int sqlType) {
  if (!holder || static_cast<int>(params_.size()) >= kMaxParams) return;
  params_.push_back({sqlType, std::move(holder)});
  m_nParams = static_cast<int>(params_.size());
}

std::string CDynaBind::GetDefaultSQL() {
  std::string text;
  for (const auto& t : tables_) {
    if (!text.empty()) text += ", ";
    text += t;
  }
  return text;
}

void* CDynaBind::ColumnAddress(int index) { return AddressOf(*columns_[index].holder); }

void CDynaBind::DoFieldExchange(CFieldExchange& fx) {
  bool first = true;
  for (auto& c : columns_) {
    const size_t dot = c.name.find('.');
    std::string name = "[" + c.name.substr(dot + 1) + "]";
    if (qualified_) name = c.name.substr(0, dot) + "." + name;
    if (first && distinct_) name = "DISTINCT " + name;
    first = false;
    const FieldKind kind = KindOf(*c.holder, c.sqlType);
    int width = kind == FieldKind::Text || kind == FieldKind::Binary ? c.length : 0;
    if (c.sqlType == SQL_LONGVARCHAR) width = kWholeText;
    fx.Column(name, kind, width, AddressOf(*c.holder));
  }
  for (auto& p : params_) fx.Parameter(KindOf(*p.holder, p.sqlType), p.sqlType, AddressOf(*p.holder));
}
