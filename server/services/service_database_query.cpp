// The read requests of the "Database" service: searches, distinct values
// and procedure calls.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "server/core/request_context.h"
#include "server/core/result_set.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/services/database_filter.h"
#include "server/services/database_values.h"
#include "server/services/service_database.h"

namespace {

using qn::dbservice::FilterField;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsIdentifier(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

// One entry of a search's column list.
struct ColumnEntry {
  std::string text;   // as the client wrote it: the schema column's name
  std::string alias;  // empty without one
  const CFieldInfo* field = nullptr;

  // The recordset's column text: the catalogue's table and column, under the
  // client's alias.
  std::string Bound() const {
    return alias.empty() ? field->m_strName : alias + "." + field->Column() + "(" + field->Table() + ")";
  }
};

// "t.c" or "alias.c(t)" entries separated by commas; 0 or 0x1502.
int ReadColumnList(const CDatabaseInfo& database, const std::string& list,
                   const std::function<bool(const CFieldInfo&)>& readable, std::vector<ColumnEntry>& out) {
  if (list == "*") {
    for (const CFieldInfo& field : database.m_fields)
      if (readable(field)) out.push_back({field.m_strName, {}, &field});
  } else {
    std::string_view rest(list);
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      const std::string entry = Trim(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      const size_t dot = entry.find('.');
      if (dot == std::string::npos) return qn::kResultDbNoField;
      ColumnEntry column{entry, {}, nullptr};
      std::string table = entry.substr(0, dot);
      std::string name = entry.substr(dot + 1);
      const size_t open = entry.find('(');
      if (open != std::string::npos) {
        const size_t close = entry.find(')');
        if (close == std::string::npos || close < open || close + 1 != entry.size() || open < dot)
          return qn::kResultDbNoField;
        column.alias = entry.substr(0, dot);
        if (!IsIdentifier(column.alias)) return qn::kResultDbNoField;
        table = entry.substr(open + 1, close - open - 1);
        name = entry.substr(dot + 1, open - dot - 1);
      }
      column.field = database.FindField(table + "." + name);
      if (column.field == nullptr || !readable(*column.field)) return qn::kResultDbNoField;
      out.push_back(std::move(column));
    }
  }
  if (out.empty() || out.size() > static_cast<size_t>(CDynaBind::kMaxColumns)) return qn::kResultDbNoField;
  return 0;
}

// Names in a member's filter and sort: the database's readable fields, by
// table or by an alias of the column list, or by a column that only one of
// them has.
qn::dbservice::FieldResolver MakeResolver(const CDatabaseInfo& database, const std::vector<ColumnEntry>& columns,
                                          const std::function<bool(const CFieldInfo&)>& readable) {
  return [&database, &columns, readable](std::string_view qualifier,
                                         std::string_view column) -> std::optional<FilterField> {
    if (qualifier.empty()) {
      const CFieldInfo* found = nullptr;
      for (const CFieldInfo& field : database.m_fields) {
        if (!readable(field) || !EqualNoCase(field.Column(), column)) continue;
        if (found != nullptr) return std::nullopt;
        found = &field;
      }
      if (found == nullptr) return std::nullopt;
      return FilterField{"[" + found->Column() + "]", found->m_nSQLType};
    }
    for (const ColumnEntry& entry : columns) {
      if (entry.alias.empty() || !EqualNoCase(entry.alias, qualifier)) continue;
      const CFieldInfo* field = database.FindField(entry.field->Table() + "." + std::string(column));
      if (field == nullptr || !readable(*field)) return std::nullopt;
      return FilterField{entry.alias + ".[" + field->Column() + "]", field->m_nSQLType};
    }
    const CFieldInfo* field = database.FindField(std::string(qualifier) + "." + std::string(column));
    if (field == nullptr || !readable(*field)) return std::nullopt;
    return FilterField{field->Table() + ".[" + field->Column() + "]", field->m_nSQLType};
  };
}

std::string WithoutBang(const std::string& text) { return !text.empty() && text[0] == '!' ? text.substr(1) : text; }

std::string Both(const std::string& first, const std::string& second, const char* join, bool bracket) {
  if (first.empty()) return second;
  if (second.empty()) return first;
  return bracket ? "(" + first + ")" + join + "(" + second + ")" : first + join + second;
}

}  // namespace

int CServiceDatabase::Search() {
  std::vector<std::string> p;
  if (!TakeParams(4, p)) return qn::kResultDbParamCount;
  const CDatabaseInfo* database = ReadableDatabase(p[0]);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  if (p[1].empty()) return qn::kResultDbNoField;
  const auto readable = [this](const CFieldInfo& field) { return HasKey(field.m_nReadKeyID); };
  std::vector<ColumnEntry> columns;
  if (const int code = ReadColumnList(*database, p[1], readable, columns)) return code;

  // A read filter or sort beginning with "!" stands alone: the member's one
  // is not even read.
  const qn::dbservice::FieldResolver resolve = MakeResolver(*database, columns, readable);
  const std::string& readFilter = database->m_strReadFilter;
  std::string filter;
  std::vector<qn::dbservice::FilterParam> params;
  if (!readFilter.empty() && readFilter[0] == '!') {
    filter = ExpandValueMacros(readFilter.substr(1), true, true);
  } else {
    const qn::dbservice::FilterContext context{GetUser()->GetUserID(), std::time(nullptr)};
    auto parsed = qn::dbservice::ParseClientFilter(p[2], resolve, context);
    if (!parsed) return qn::kResultDbError;
    filter = Both(ExpandValueMacros(readFilter, true, true), parsed->sql, " AND ", true);
    params = std::move(parsed->params);
  }
  const std::string& sort = database->m_strSort;
  std::string order;
  if (!sort.empty() && sort[0] == '!') {
    order = sort.substr(1);
  } else {
    auto parsed = qn::dbservice::ParseClientSort(p[3], resolve);
    if (!parsed) return qn::kResultDbError;
    order = Both(sort, *parsed, ", ", false);
  }

  m_pRecordset = std::make_unique<CServiceDatabaseRecordset>(GetDatabase(database->m_strConnect, false));
  m_pSchema = std::make_unique<CColumnTypes>(static_cast<int>(columns.size()), -1);
  for (const ColumnEntry& column : columns) {
    m_pRecordset->AddColumn(column.Bound(), column.field->m_nSQLType, column.field->m_nLength);
    m_pSchema->AddColumn(qn::dbservice::ResultColumnType(column.field->m_nSQLType), column.text);
  }
  for (auto& param : params)
    m_pRecordset->AddParam(std::make_unique<CDynaHolder>(std::move(param.value)), param.sqlType);
  m_pRecordset->m_strFilter = filter;
  m_pRecordset->m_strSort = order;
  m_pRecordset->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return StreamRecordset();
}

int CServiceDatabase::GetUniqueFieldValues() {
  std::vector<std::string> p;
  if (!TakeParams(2, p)) return qn::kResultDbParamCount;
  const CDatabaseInfo* database = ReadableDatabase(p[0]);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  const CFieldInfo* field = database->FindField(p[1]);
  if (field == nullptr || !HasKey(field->m_nReadKeyID)) return qn::kResultDbFieldNotReadable;

  m_pRecordset = std::make_unique<CServiceDatabaseRecordset>(GetDatabase(database->m_strConnect, false));
  m_pSchema = std::make_unique<CColumnTypes>(1, -1);
  m_pSchema->AddColumn(qn::dbservice::ResultColumnType(field->m_nSQLType), field->m_strName);
  m_pRecordset->AddColumn(field->m_strName, field->m_nSQLType, field->m_nLength);
  m_pRecordset->SetDistinct(TRUE);
  m_pRecordset->m_strFilter = ExpandValueMacros(WithoutBang(database->m_strReadFilter), true, true);
  m_pRecordset->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return StreamRecordset();
}

int CServiceDatabase::Call() {
  const int count = GetParamCount();
  if (count < 3) return qn::kResultDbParamCount;
  std::string name, procedureName;
  GetParam(0, name);
  GetParam(1, procedureName);
  const CDatabaseInfo* database = ReadableDatabase(name);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  const CProcedureInfo* procedure = nullptr;
  for (const CProcedureInfo& candidate : database->m_procedures) {
    if (EqualNoCase(candidate.m_strName, procedureName) && HasKey(candidate.m_nKeyID)) {
      procedure = &candidate;
      break;
    }
  }
  if (procedure == nullptr) return qn::kResultDbNoProcedure;
  // A procedure without parameters therefore cannot be called.
  if (static_cast<size_t>(count) != procedure->m_paramDefaults.size() + 2) return qn::kResultDbParamCount;

  auto recordset = std::make_unique<CServiceDatabaseRecordset>(GetDatabase(database->m_strConnect, false));
  const size_t outputs = procedure->m_outputTypes.size();
  auto schema = std::make_unique<CColumnTypes>(static_cast<int>(outputs), -1);
  for (size_t i = 0; i < outputs; ++i) {
    const int type = procedure->m_outputTypes[i];
    const uint8_t columnType = qn::dbservice::ResultColumnType(type);
    CDynaHolder probe;
    if (columnType == 0 || !MakeDynaHolder(type, probe)) return qn::kResultDbError;
    char column[32];
    std::snprintf(column, sizeof column, "Column%02d", static_cast<int>(i));
    recordset->AddColumn(std::string("Call.") + column, type, 255);
    schema->AddColumn(columnType, column);
  }
  std::string placeholders;
  for (size_t i = 0; i < procedure->m_paramDefaults.size(); ++i) {
    std::string value;
    GetParam(static_cast<int>(i) + 2, value);
    const std::string& defaultValue = procedure->m_paramDefaults[i];
    if (!defaultValue.empty()) value = ExpandValueMacros(defaultValue, false, false);
    auto holder = std::make_unique<CDynaHolder>();
    const int type = procedure->m_paramTypes[i];
    switch (qn::dbservice::ConvertText(value, type, *holder)) {
      case qn::dbservice::Conversion::kOutOfRange: return qn::kResultDbRange;
      case qn::dbservice::Conversion::kNoValue: continue;
      case qn::dbservice::Conversion::kValue: break;
    }
    recordset->AddParam(std::move(holder), type);
    placeholders += placeholders.empty() ? "?" : ",?";
  }
  const std::string sql = "{CALL " + procedure->m_strName + "(" + placeholders + ")}";
  try {
    recordset->Open(CRecordset::forwardOnly, sql.c_str(), CRecordset::readOnly);
  } catch (const CDBException& e) {
    // A procedure that declares no output columns has run when the only
    // complaint is that no columns were bound.
    if (outputs == 0 && e.DriverText().rfind("No columns were bound", 0) == 0) {
      GetRequest()->EndRequest();
      return 0;
    }
    throw;
  }
  m_pRecordset = std::move(recordset);
  m_pSchema = std::move(schema);
  return StreamRecordset();
}
