#include "server/data/recordset.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

using qn::odbc::Param;
using qn::odbc::Timestamp;
using qn::odbc::Value;

namespace {

constexpr int kTextWidth = 255;

Timestamp ToTimestamp(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  return Timestamp{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

bool SameLocalTime(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// The time of a local date and time, as mktime gives it. mktime reads the
// zone file's status on every call (a system call per date read); this asks
// localtime_r, which does not, and leaves to mktime the times within a day
// of a change of the zone's offset, where a local time may be missing or
// stand twice.
std::time_t FromTimestamp(const Timestamp& ts) {
  std::tm local{};
  local.tm_year = ts.year - 1900;
  local.tm_mon = ts.month - 1;
  local.tm_mday = ts.day;
  local.tm_hour = ts.hour;
  local.tm_min = ts.minute;
  local.tm_sec = ts.second;
  local.tm_isdst = -1;
  std::tm asUtc = local;
  const std::time_t utc = timegm(&asUtc);
  std::tm probe{};
  if (utc != -1 && localtime_r(&utc, &probe) != nullptr) {
    // No offset in any zone differs from another by more than a day.
    constexpr std::time_t kMargin = 26 * 3600;
    const std::time_t guess = utc - probe.tm_gmtoff;
    const std::time_t before = guess - kMargin;
    const std::time_t after = guess + kMargin;
    std::tm at{}, early{}, late{};
    if (localtime_r(&guess, &at) && localtime_r(&before, &early) && localtime_r(&after, &late) &&
        early.tm_gmtoff == at.tm_gmtoff && late.tm_gmtoff == at.tm_gmtoff && SameLocalTime(at, local))
      return guess;
  }
  return std::mktime(&local);
}

bool StartsWithNoCase(const std::string& text, const char* word) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  for (size_t j = 0; word[j]; ++j, ++i) {
    if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) != word[j]) return false;
  }
  return true;
}

std::string Unbracket(std::string name) {
  std::string out;
  for (char c : name)
    if (c != '[' && c != ']') out += c;
  return out;
}

// A literal of the conditions as the parameter that stands for it: text
// and the escapes' text go as the driver would pass them written in place.
std::optional<Param> LiteralParam(const SqlLiteral& literal) {
  std::string_view number = literal.value;
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  const char* end = number.data() + number.size();
  switch (literal.kind) {
    case SqlLiteral::Kind::Text: return Param{literal.value, SQL_VARCHAR};
    case SqlLiteral::Kind::Integer: {
      int32_t n = 0;
      const auto [at, ec] = std::from_chars(number.data(), end, n);
      if (ec != std::errc() || at != end) return std::nullopt;
      return Param{n, SQL_INTEGER};
    }
    case SqlLiteral::Kind::Decimal: {
      double d = 0;
      const auto [at, ec] = std::from_chars(number.data(), end, d);
      if (ec != std::errc() || at != end) return std::nullopt;
      return Param{d, SQL_DOUBLE};
    }
    case SqlLiteral::Kind::Date: return Param{literal.value, SQL_TYPE_DATE};
    case SqlLiteral::Kind::Time: return Param{literal.value, SQL_TYPE_TIME};
    case SqlLiteral::Kind::Timestamp: return Param{literal.value, SQL_TYPE_TIMESTAMP};
  }
  return std::nullopt;
}

// Runs `f`, turning driver failures into the system's exception.
template <class F>
auto Guard(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const CDBException&) {
    throw;
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

}  // namespace

CRecordset::CRecordset(CDatabase* database) : m_pDatabase(database) {}

CRecordset::~CRecordset() { Close(); }

void CRecordset::Fail(const char* state, const std::string& message) const {
  throw CDBException(state, message);
}

void CRecordset::RequireOpen() const {
  if (!open_) Fail("HY010", "the recordset is not open");
}

std::string CRecordset::UpdateTable() {
  std::string table = GetDefaultSQL();
  if (table.find(',') != std::string::npos) return {};
  table = Unbracket(table);
  if (table.empty() || table.find(' ') != std::string::npos) return {};
  return table;
}

void CRecordset::Bind() {
  fx_ = CFieldExchange();
  fx_.fields.reserve(static_cast<size_t>(m_nFields > 0 ? m_nFields : 0));
  DoFieldExchange(fx_);
  m_nFields = static_cast<int>(fx_.fields.size());
  m_nParams = static_cast<int>(fx_.params.size());
  nulls_.assign(fx_.fields.size(), true);
  forcedDirty_.assign(fx_.fields.size(), false);
  forcedNull_.assign(fx_.fields.size(), false);
}

void CRecordset::BuildSelect(const char* sql) {
  std::string source = sql ? sql : "";
  if (source.find_first_not_of(" \t\r\n") == std::string::npos) {
    // The default SQL stands for the FROM list.
    source = GetDefaultSQL();
  }
  std::string text;
  text.reserve(source.size() + m_strFilter.size() + m_strSort.size() + 32 * (fx_.fields.size() + 1));
  const bool call = StartsWithNoCase(source, "{");
  // Where the literals may start: the select list and FROM list built here
  // from names hold none.
  size_t conditions = 0;
  if (StartsWithNoCase(source, "SELECT") || call) {
    // A SELECT or a procedure call ("{CALL name(?,?)}") is the statement.
    text = source;
  } else {
    text = "SELECT ";
    if (fx_.fields.empty()) text += "*";
    for (size_t i = 0; i < fx_.fields.size(); ++i) {
      if (i) text += ",";
      text += fx_.fields[i].name;
    }
    text += " FROM " + source;
    conditions = text.size();
  }
  if (!m_strFilter.empty()) text += " WHERE " + m_strFilter;
  if (!m_strSort.empty()) text += " ORDER BY " + m_strSort;
  const SqlDialect dialect = m_pDatabase->Dialect();
  select_ = RewriteSql(dialect, text);

  prepared_.text.clear();
  literalParams_.clear();
  // A procedure runs as written: it may have work of its own to do.
  if (call) return;
  ParameterisedSql parts;
  if (!ParameteriseSql(std::string_view(text).substr(conditions), parts)) return;
  parts.text.insert(0, text, 0, conditions);
  size_t own = 0;
  for (int marker : parts.markers)
    if (marker == ParameterisedSql::kOwnMarker) ++own;
  if (own != fx_.params.size()) return;
  if (parts.markers.empty() && !ReusesStatementsWithoutParameters(dialect)) return;
  for (const SqlLiteral& literal : parts.literals) {
    std::optional<Param> param = LiteralParam(literal);
    if (!param) return;
    literalParams_.push_back(std::move(*param));
  }
  parts.text = RewriteSql(dialect, parts.text);
  prepared_ = std::move(parts);
}

bool CRecordset::Open(unsigned openType, const char* sql, unsigned options) {
  if (m_pDatabase == nullptr || !m_pDatabase->IsOpen()) Fail("08003", "the database is not open");
  Close();
  type_ = openType == useDefaultType ? m_nDefaultType : openType;
  if (type_ != forwardOnly) type_ = snapshot;
  options_ = options;
  Bind();
  openSql_ = sql ? sql : "";
  BuildSelect(sql);
  open_ = true;
  m_pDatabase->RecordsetOpened();
  if (options_ & appendOnly) {
    pending_ = true;
    return true;
  }
  try {
    return Execute();
  } catch (...) {
    Close();
    throw;
  }
}

void CRecordset::RunPendingQuery() const {
  if (!pending_) return;
  auto* self = const_cast<CRecordset*>(this);
  self->pending_ = false;
  self->Execute();
}

bool CRecordset::Requery() {
  RequireOpen();
  pending_ = false;
  mode_ = EditMode::none;
  BuildSelect(openSql_.c_str());
  return Execute();
}

std::vector<Param> CRecordset::OwnParams() const {
  std::vector<Param> params;
  params.reserve(fx_.params.size());
  for (const auto& p : fx_.params) {
    Value v;
    switch (p.kind) {
      case FieldKind::Text: v = *static_cast<std::string*>(p.address); break;
      case FieldKind::Long: v = *static_cast<int32_t*>(p.address); break;
      case FieldKind::Int: v = *static_cast<int16_t*>(p.address); break;
      case FieldKind::Byte: v = int16_t{*static_cast<uint8_t*>(p.address)}; break;
      case FieldKind::Bool:
        v = static_cast<int16_t>(*static_cast<BOOL*>(p.address) ? StoredTrue(m_pDatabase->Dialect()) : 0);
        break;
      case FieldKind::Date: {
        std::time_t t = *static_cast<std::time_t*>(p.address);
        if (t != 0) v = ToTimestamp(t);
        break;
      }
      case FieldKind::Double: v = *static_cast<double*>(p.address); break;
      case FieldKind::Single: v = *static_cast<float*>(p.address); break;
      case FieldKind::LongBinary:
      case FieldKind::Binary: v = *static_cast<std::vector<uint8_t>*>(p.address); break;
    }
    params.push_back({std::move(v), static_cast<SQLSMALLINT>(p.sqlType)});
  }
  return params;
}

bool CRecordset::Execute() {
  return Guard([&] {
    // The last run's statement goes back first: the same text reuses it.
    stream_.reset();
    rows_.clear();
    deleted_.clear();
    current_ = -1;
    seen_ = 0;
    std::vector<Param> own = OwnParams();
    std::vector<Param> params;
    if (!prepared_.text.empty()) {
      params.reserve(prepared_.markers.size());
      size_t next = 0;
      for (int marker : prepared_.markers) {
        if (marker == ParameterisedSql::kOwnMarker) params.push_back(own[next++]);
        else params.push_back(literalParams_[static_cast<size_t>(marker)]);
      }
    }
    stream_ = m_pDatabase->Query(prepared_.text, std::move(params), select_, std::move(own));
    // As under the framework's cursor library: the statement has run (a
    // procedure without output columns has done its work), but a recordset
    // without columns has nothing to fetch.
    if (fx_.fields.empty())
      throw CDBException("SL009", "No columns were bound prior to calling SQLFetchScroll/SQLExtendedFetch");
    if (type_ == forwardOnly) {
      bof_ = false;
      FetchStreamed();
      bof_ = eof_;
      return true;
    }
    // A snapshot is a copy taken at open: changes made while it is walked
    // (by the walker itself, on the same connection) never show up in it.
    FetchUpTo(std::numeric_limits<long>::max() - 1);
    Position(0);
    if (rows_.empty()) bof_ = true;
    return true;
  });
}

bool CRecordset::FetchStreamed() {
  if (!stream_ || !stream_->Fetch()) {
    stream_.reset();
    eof_ = true;
    rows_.clear();
    deleted_.clear();
    current_ = -1;
    ResetMembers();
    return false;
  }
  rows_.assign(1, ReadRow());
  deleted_.assign(1, false);
  current_ = 0;
  ++seen_;
  bof_ = eof_ = false;
  LoadRow(rows_[0]);
  return true;
}

CRecordset::Row CRecordset::ReadRow() {
  Row row(fx_.fields.size());
  for (size_t i = 0; i < fx_.fields.size(); ++i) {
    const auto& f = fx_.fields[i];
    const int column = static_cast<int>(i + 1);
    switch (f.kind) {
      case FieldKind::Text: {
        std::string s;
        if (stream_->GetText(column, s, static_cast<size_t>(f.width > 0 ? f.width : kTextWidth)))
          row[i] = std::move(s);
        break;
      }
      case FieldKind::Long:
      case FieldKind::Int:
      case FieldKind::Byte:
      case FieldKind::Bool: {
        int32_t n = 0;
        if (!stream_->GetInt32(column, n)) break;
        if (f.kind == FieldKind::Long) row[i] = n;
        if (f.kind == FieldKind::Int) row[i] = static_cast<int16_t>(n);
        if (f.kind == FieldKind::Byte) row[i] = static_cast<uint8_t>(n);
        if (f.kind == FieldKind::Bool) row[i] = int32_t{n != 0};
        break;
      }
      case FieldKind::Date: {
        Timestamp ts;
        if (stream_->GetTimestamp(column, ts)) row[i] = ts;
        break;
      }
      case FieldKind::Double:
      case FieldKind::Single: {
        double d = 0;
        if (!stream_->GetDouble(column, d)) break;
        if (f.kind == FieldKind::Double) row[i] = d;
        else row[i] = static_cast<float>(d);
        break;
      }
      case FieldKind::LongBinary:
      case FieldKind::Binary: {
        std::vector<uint8_t> bytes;
        size_t limit = f.kind == FieldKind::Binary && f.width > 0 ? static_cast<size_t>(f.width) : 0;
        if (stream_->GetBytes(column, bytes, limit)) row[i] = std::move(bytes);
        break;
      }
    }
  }
  return row;
}

void CRecordset::LoadRow(const Row& row) {
  for (size_t i = 0; i < fx_.fields.size(); ++i) {
    const auto& f = fx_.fields[i];
    const Value& v = row[i];
    nulls_[i] = std::holds_alternative<std::monostate>(v);
    switch (f.kind) {
      case FieldKind::Text: {
        auto* s = std::get_if<std::string>(&v);
        *static_cast<std::string*>(f.address) = s ? *s : std::string();
        break;
      }
      case FieldKind::Long:
      case FieldKind::Bool: {
        auto* n = std::get_if<int32_t>(&v);
        *static_cast<int32_t*>(f.address) = n ? *n : 0;
        break;
      }
      case FieldKind::Int: {
        auto* n = std::get_if<int16_t>(&v);
        *static_cast<int16_t*>(f.address) = n ? *n : 0;
        break;
      }
      case FieldKind::Byte: {
        auto* n = std::get_if<uint8_t>(&v);
        *static_cast<uint8_t*>(f.address) = n ? *n : 0;
        break;
      }
      case FieldKind::Date: {
        auto* ts = std::get_if<Timestamp>(&v);
        *static_cast<std::time_t*>(f.address) = ts ? FromTimestamp(*ts) : 0;
        break;
      }
      case FieldKind::Double: {
        auto* d = std::get_if<double>(&v);
        *static_cast<double*>(f.address) = d ? *d : 0.0;
        break;
      }
      case FieldKind::Single: {
        auto* d = std::get_if<float>(&v);
        *static_cast<float*>(f.address) = d ? *d : 0.0f;
        break;
      }
      case FieldKind::LongBinary:
      case FieldKind::Binary: {
        auto* b = std::get_if<std::vector<uint8_t>>(&v);
        *static_cast<std::vector<uint8_t>*>(f.address) = b ? *b : std::vector<uint8_t>();
        break;
      }
    }
  }
}

void CRecordset::ResetMembers() { LoadRow(Row(fx_.fields.size())); }

CRecordset::Row CRecordset::CaptureMembers() const {
  Row row(fx_.fields.size());
  for (size_t i = 0; i < fx_.fields.size(); ++i) {
    const auto& f = fx_.fields[i];
    if (forcedNull_[i]) continue;
    switch (f.kind) {
      case FieldKind::Text: row[i] = *static_cast<const std::string*>(f.address); break;
      case FieldKind::Long: row[i] = *static_cast<const int32_t*>(f.address); break;
      case FieldKind::Bool: row[i] = int32_t{*static_cast<const BOOL*>(f.address) != 0}; break;
      case FieldKind::Int: row[i] = *static_cast<const int16_t*>(f.address); break;
      case FieldKind::Byte: row[i] = *static_cast<const uint8_t*>(f.address); break;
      case FieldKind::Date: {
        std::time_t t = *static_cast<const std::time_t*>(f.address);
        if (t != 0) row[i] = ToTimestamp(t);
        break;
      }
      case FieldKind::Double: row[i] = *static_cast<const double*>(f.address); break;
      case FieldKind::Single: row[i] = *static_cast<const float*>(f.address); break;
      case FieldKind::LongBinary:
      case FieldKind::Binary: row[i] = *static_cast<const std::vector<uint8_t>*>(f.address); break;
    }
  }
  return row;
}

Param CRecordset::MemberParam(size_t field, const Value& value) const {
  const auto& f = fx_.fields[field];
  Param p;
  p.value = value;
  switch (f.kind) {
    case FieldKind::Text:
      p.sqlType = f.width > kTextWidth ? SQL_LONGVARCHAR : SQL_VARCHAR;
      // The column holds what its bound width holds, in both databases (one
      // would refuse longer text, the other store it and read it back cut).
      if (auto* text = std::get_if<std::string>(&p.value); text && f.width > 0 &&
                                                            text->size() > static_cast<size_t>(f.width))
        text->resize(static_cast<size_t>(f.width));
      break;
    case FieldKind::Long: p.sqlType = SQL_INTEGER; break;
    case FieldKind::Int: p.sqlType = SQL_SMALLINT; break;
    case FieldKind::Byte:
      p.sqlType = SQL_SMALLINT;
      if (auto* n = std::get_if<uint8_t>(&value)) p.value = int16_t{*n};
      break;
    case FieldKind::Bool:
      p.sqlType = SQL_SMALLINT;
      if (auto* n = std::get_if<int32_t>(&value))
        p.value = static_cast<int16_t>(*n ? StoredTrue(m_pDatabase->Dialect()) : 0);
      break;
    case FieldKind::Date: p.sqlType = SQL_TYPE_TIMESTAMP; break;
    case FieldKind::Double: p.sqlType = SQL_DOUBLE; break;
    case FieldKind::Single: p.sqlType = SQL_REAL; break;
    case FieldKind::LongBinary: p.sqlType = SQL_LONGVARBINARY; break;
    case FieldKind::Binary: p.sqlType = SQL_VARBINARY; break;
  }
  return p;
}

std::string CRecordset::ColumnName(size_t field) const { return fx_.fields[field].name; }

std::string CRecordset::TargetName(size_t field) const {
  const std::string& name = fx_.fields[field].name;
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

std::string CRecordset::WhereForRow(const Row& row, std::vector<Param>& params) const {
  std::vector<size_t> columns;
  const auto keys = const_cast<CRecordset*>(this)->KeyColumns();
  for (size_t i = 0; i < fx_.fields.size(); ++i) {
    const auto& f = fx_.fields[i];
    if (!keys.empty()) {
      for (const auto& k : keys)
        if (Unbracket(TargetName(i)) == k) columns.push_back(i);
      continue;
    }
    // Without a key every column that compares exactly names the row.
    const bool exact = (f.kind == FieldKind::Text && f.width <= kTextWidth) || f.kind == FieldKind::Long ||
                       f.kind == FieldKind::Int || f.kind == FieldKind::Byte ||
                       f.kind == FieldKind::Bool || f.kind == FieldKind::Date;
    if (exact) columns.push_back(i);
  }
  if (columns.empty()) Fail("HY000", "the row cannot be named for an update");
  std::string where;
  for (size_t i : columns) {
    if (!where.empty()) where += " AND ";
    if (std::holds_alternative<std::monostate>(row[i])) {
      where += ColumnName(i) + " IS NULL";
    } else {
      where += ColumnName(i) + "=?";
      params.push_back(MemberParam(i, row[i]));
    }
  }
  return where;
}

void CRecordset::Execute(const std::string& sql, std::vector<Param> params, long* rowCount) {
  const long count = m_pDatabase->ExecuteCached(RewriteSql(m_pDatabase->Dialect(), sql), std::move(params));
  if (rowCount) *rowCount = count;
}

bool CRecordset::CarryInsert(std::string table, std::vector<std::string> columns,
                             std::vector<Param> values) {
  if (m_pDatabase == nullptr || m_pDatabase->Dialect() != SqlDialect::PostgreSQL) return false;
  carried_ = CarriedRow{std::move(table), std::move(columns), std::move(values)};
  return true;
}

std::string CRecordset::CarriedInsert() const {
  std::string insert = "INSERT INTO " + carried_->table + " (";
  std::string marks;
  for (size_t i = 0; i < carried_->columns.size(); ++i) {
    insert += (i ? "," : "") + carried_->columns[i];
    marks += i ? ",?" : "?";
  }
  return insert + ") VALUES (" + marks + ")";
}

void CRecordset::WriteCarriedAlone() {
  if (!carried_) return;
  const std::string insert = CarriedInsert();
  std::vector<Param> values = std::move(carried_->values);
  carried_.reset();
  try {
    Execute(insert, std::move(values), nullptr);
  } catch (const CDBException&) {
    // A carried row never stops the write.
  }
}

long CRecordset::ExecuteWrite(const std::string& sql, std::vector<Param> params) {
  long count = 0;
  if (!carried_) {
    Execute(sql, std::move(params), &count);
    return count;
  }
  const std::string insert = CarriedInsert();
  std::vector<Param> joint = params;
  joint.insert(joint.end(), carried_->values.begin(), carried_->values.end());
  try {
    // The count of the rows the write touched comes back as the row's.
    count = m_pDatabase->InsertReturningKey(
        RewriteSql(SqlDialect::PostgreSQL, "WITH written AS (" + sql + " RETURNING 1) " + insert +
                                                " RETURNING (SELECT COUNT(*) FROM written)"),
        std::move(joint));
    carried_.reset();
    return count;
  } catch (const CDBException&) {
    // The joint statement changed nothing: each part alone.
  }
  try {
    Execute(sql, std::move(params), &count);
  } catch (...) {
    carried_.reset();
    throw;
  }
  WriteCarriedAlone();
  return count;
}

void CRecordset::FetchUpTo(long index) {
  Guard([&] {
    while (stream_ && static_cast<long>(rows_.size()) <= index) {
      if (!stream_->Fetch()) {
        stream_.reset();
        break;
      }
      rows_.push_back(ReadRow());
      deleted_.push_back(false);
    }
  });
}

void CRecordset::Position(long index) {
  const long count = static_cast<long>(rows_.size());
  if (count == 0) {
    bof_ = eof_ = true;
    current_ = -1;
    ResetMembers();
    return;
  }
  if (index < 0) {
    bof_ = true;
    eof_ = false;
    current_ = -1;
    return;
  }
  if (index >= count) {
    eof_ = true;
    bof_ = false;
    current_ = count;
    return;
  }
  bof_ = eof_ = false;
  current_ = index;
  LoadRow(rows_[static_cast<size_t>(index)]);
}

bool CRecordset::IsDeleted() const {
  RunPendingQuery();
  return current_ >= 0 && current_ < static_cast<long>(deleted_.size()) && deleted_[current_];
}

void CRecordset::MoveNext() {
  RequireOpen();
  RunPendingQuery();
  mode_ = EditMode::none;
  if (eof_) return;
  if (type_ == forwardOnly) {
    Guard([&] { return FetchStreamed(); });
    return;
  }
  Position(current_ + 1);
}

void CRecordset::MovePrev() {
  RequireOpen();
  RunPendingQuery();
  if (type_ == forwardOnly) Fail("HY106", "a forward-only recordset cannot move back");
  mode_ = EditMode::none;
  if (bof_) return;
  Position(current_ - 1);
}

void CRecordset::MoveFirst() {
  RequireOpen();
  RunPendingQuery();
  if (type_ == forwardOnly) Fail("HY106", "a forward-only recordset cannot move back");
  mode_ = EditMode::none;
  Position(0);
}

void CRecordset::MoveLast() {
  RequireOpen();
  RunPendingQuery();
  if (type_ == forwardOnly) Fail("HY106", "a forward-only recordset cannot move back");
  mode_ = EditMode::none;
  Position(static_cast<long>(rows_.size()) - 1);
  if (rows_.empty()) bof_ = eof_ = true;
}

bool CRecordset::CanUpdate() const {
  return open_ && !(options_ & (readOnly | appendOnly)) &&
         !const_cast<CRecordset*>(this)->UpdateTable().empty();
}

bool CRecordset::CanAppend() const {
  return open_ && !(options_ & readOnly) && !const_cast<CRecordset*>(this)->UpdateTable().empty();
}

bool CRecordset::IsFieldNull(const void* member) const {
  for (size_t i = 0; i < fx_.fields.size(); ++i)
    if (fx_.fields[i].address == member) return nulls_[i];
  return false;
}

void CRecordset::SetFieldDirty(const void* member, bool dirty) {
  for (size_t i = 0; i < fx_.fields.size(); ++i)
    if (fx_.fields[i].address == member) forcedDirty_[i] = dirty;
}

void CRecordset::SetFieldNull(const void* member, bool null) {
  for (size_t i = 0; i < fx_.fields.size(); ++i) {
    if (fx_.fields[i].address != member) continue;
    forcedNull_[i] = null;
    if (null) forcedDirty_[i] = true;
  }
}

void CRecordset::AddNew() {
  RequireOpen();
  if (!CanAppend()) Fail("HY000", "the recordset is read-only");
  ResetMembers();
  forcedDirty_.assign(fx_.fields.size(), false);
  forcedNull_.assign(fx_.fields.size(), false);
  editStart_ = CaptureMembers();
  mode_ = EditMode::adding;
}

void CRecordset::Edit() {
  RequireOpen();
  RunPendingQuery();
  if (!CanUpdate()) Fail("HY000", "the recordset is read-only");
  if (current_ < 0 || current_ >= static_cast<long>(rows_.size()) || IsDeleted())
    Fail("HY109", "no current row");
  forcedDirty_.assign(fx_.fields.size(), false);
  forcedNull_.assign(fx_.fields.size(), false);
  editStart_ = CaptureMembers();
  mode_ = EditMode::editing;
}

void CRecordset::EditFiltered() {
  RequireOpen();
  if (!CanAppend()) Fail("HY000", "the recordset is read-only");
  // Without a filter the statement would write every row of the table.
  if (m_strFilter.find_first_not_of(" \t\r\n") == std::string::npos)
    Fail("HY000", "an edit without a filter");
  ResetMembers();
  forcedDirty_.assign(fx_.fields.size(), false);
  forcedNull_.assign(fx_.fields.size(), false);
  editStart_ = CaptureMembers();
  mode_ = EditMode::filtered;
}

std::string CRecordset::SetList(const std::vector<size_t>& dirty, const Row& now,
                                std::vector<Param>& params) const {
  std::string sets;
  for (size_t i : dirty) {
    if (!sets.empty()) sets += ",";
    sets += TargetName(i) + "=?";
    params.push_back(MemberParam(i, now[i]));
  }
  return sets;
}

long CRecordset::UpdateFiltered(const std::vector<size_t>& dirty, const Row& now) {
  std::vector<Param> own;
  const std::string sets = SetList(dirty, now, own);
  const std::string sql = "UPDATE " + UpdateTable() + " SET " + sets + " WHERE " + m_strFilter;
  // The filter's literals as parameters too, so that one prepared statement
  // serves every row of the same shape.
  ParameterisedSql parts;
  std::vector<Param> params;
  bool parameterised = ParameteriseSql(sql, parts);
  for (size_t m = 0, next = 0; parameterised && m < parts.markers.size(); ++m) {
    const int marker = parts.markers[m];
    if (marker == ParameterisedSql::kOwnMarker) {
      if (next >= own.size()) parameterised = false;
      else params.push_back(own[next++]);
    } else if (std::optional<Param> literal = LiteralParam(parts.literals[static_cast<size_t>(marker)])) {
      params.push_back(std::move(*literal));
    } else {
      parameterised = false;
    }
  }
  if (parameterised && params.size() == parts.markers.size())
    return ExecuteWrite(parts.text, std::move(params));
  return ExecuteWrite(sql, std::move(own));
}

void CRecordset::CancelUpdate() {
  if (mode_ == EditMode::none) return;
  mode_ = EditMode::none;
  if (current_ >= 0 && current_ < static_cast<long>(rows_.size())) LoadRow(rows_[current_]);
  else ResetMembers();
}

bool CRecordset::Update() {
  RequireOpen();
  if (mode_ == EditMode::none) Fail("HY010", "Update without AddNew or Edit");
  const Row now = CaptureMembers();
  std::vector<size_t> dirty;
  for (size_t i = 0; i < now.size(); ++i)
    if (forcedDirty_[i] || now[i] != editStart_[i]) dirty.push_back(i);
  const std::string table = UpdateTable();
  const EditMode mode = mode_;
  mode_ = EditMode::none;
  forcedNull_.assign(fx_.fields.size(), false);

  if (mode == EditMode::adding) {
    std::string sql = "INSERT INTO " + table;
    std::vector<Param> params;
    bool identitySet = false;
    int32_t identityValue = 0;
    const std::string identity = IdentityColumn();
    std::string names, marks;
    for (size_t i : dirty) {
      // A column set to null is the database's to fill: its identity key or
      // its default (one database refuses an explicit NULL key, the other
      // would store NULL over the default).
      if (std::holds_alternative<std::monostate>(now[i])) continue;
      if (!names.empty()) names += ",", marks += ",";
      names += TargetName(i);
      marks += "?";
      params.push_back(MemberParam(i, now[i]));
      if (!identity.empty() && Unbracket(TargetName(i)) == identity) {
        identitySet = true;
        identityValue = *static_cast<const int32_t*>(fx_.fields[i].address);
      }
    }
    if (names.empty()) sql += " DEFAULT VALUES";
    else sql += " (" + names + ") VALUES (" + marks + ")";
    insertedKey_ = identityValue;
    const bool readKey = !identity.empty() && !identitySet && wantInsertedKey_;
    if (readKey && m_pDatabase->Dialect() == SqlDialect::PostgreSQL) {
      insertedKey_ = m_pDatabase->InsertReturningKey(
          RewriteSql(SqlDialect::PostgreSQL, sql + " RETURNING " + identity), std::move(params));
      WriteCarriedAlone();
    } else {
      ExecuteWrite(sql, std::move(params));
      if (readKey) insertedKey_ = m_pDatabase->LastIdentity();
    }
    CancelUpdateRestore();
    return true;
  }

  if (dirty.empty()) {
    WriteCarriedAlone();
    return false;
  }
  if (mode == EditMode::filtered) return UpdateFiltered(dirty, now) > 0;
  std::vector<Param> params;
  const std::string sets = SetList(dirty, now, params);
  Row& original = rows_[current_];
  const std::string where = WhereForRow(original, params);
  const long count = ExecuteWrite("UPDATE " + table + " SET " + sets + " WHERE " + where, std::move(params));
  if (count == 0) Fail("HY000", "no row was updated");
  for (size_t i : dirty) original[i] = now[i];
  return true;
}

void CRecordset::CancelUpdateRestore() {
  if (current_ >= 0 && current_ < static_cast<long>(rows_.size())) LoadRow(rows_[current_]);
  else ResetMembers();
}

void CRecordset::Delete() {
  RequireOpen();
  RunPendingQuery();
  if (!CanUpdate()) Fail("HY000", "the recordset is read-only");
  if (current_ < 0 || current_ >= static_cast<long>(rows_.size()) || IsDeleted())
    Fail("HY109", "no current row");
  mode_ = EditMode::none;
  std::vector<Param> params;
  const std::string where = WhereForRow(rows_[current_], params);
  long count = 0;
  Execute("DELETE FROM " + UpdateTable() + " WHERE " + where, std::move(params), &count);
  if (count == 0) Fail("HY000", "no row was deleted");
  deleted_[current_] = true;
}

void CRecordset::Close() {
  carried_.reset();
  if (!open_) return;
  pending_ = false;
  stream_.reset();
  rows_.clear();
  deleted_.clear();
  current_ = -1;
  mode_ = EditMode::none;
  open_ = false;
  bof_ = eof_ = true;
  if (m_pDatabase) m_pDatabase->RecordsetClosed();
}
