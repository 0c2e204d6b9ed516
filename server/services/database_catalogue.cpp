#include "server/services/database_catalogue.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "common/helpers.h"
#include "server/data/column_info_set.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"
#include "server/services/database_texts.h"
#include "server/services/database_values.h"

namespace {

constexpr const char* kCatalogueConnect = "DSN=Quillnet Server;DBQ=QNDB.MDB";

CDatabaseCatalogue g_catalogue;
bool g_loaded = false;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string CaseOf(std::string text, int (*convert)(int)) {
  for (char& c : text) c = static_cast<char>(convert(static_cast<unsigned char>(c)));
  return text;
}

bool Carried(int sqlType) { return sqlType >= -7 && sqlType <= 12 && sqlType != 0 && sqlType != -5; }

std::string MediaDirectory(std::string directory) {
  if (!directory.empty() && directory.back() != '\\' && directory.back() != '/') directory += '\\';
  return directory;
}

void LoadFields(CDatabase* catalogue, CDatabase* own, CDatabaseInfo& info) {
  CFields_2 fields(catalogue);
  fields.m_strFilter = "DatabaseName=" + SQLQuote(info.m_strName);
  fields.m_strSort = "FieldName";
  fields.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  for (; !fields.IsEOF(); fields.MoveNext()) {
    const size_t dot = fields.m_FieldName.find('.');
    if (dot == std::string::npos) continue;
    CFieldInfo field;
    if (!ReadColumnCatalogue(own, fields.m_FieldName.substr(0, dot), fields.m_FieldName.substr(dot + 1), field))
      continue;
    field.m_nSQLType = qn::dbservice::NormaliseSqlType(field.m_nSQLType);
    if (!Carried(field.m_nSQLType)) continue;
    field.m_strName = fields.m_FieldName;
    field.m_strDescription = fields.m_FieldDescription;
    field.m_bIsMedia = fields.m_IsMedia != 0;
    field.m_strMediaDirectory = MediaDirectory(fields.m_DefaultMediaDirectory);
    field.m_nReadKeyID = fields.m_ReadKeyID;
    field.m_choices = qn::dbservice::ParseMultipleChoices(fields.m_MultipleChoices);
    if (fields.m_RangeLow <= fields.m_RangeHigh) {
      field.m_dRangeLow = fields.m_RangeLow;
      field.m_dRangeHigh = fields.m_RangeHigh;
    }
    field.m_strFillMacro = fields.m_FillMacro;
    field.m_bQBSearch = fields.m_QBSearch != 0;
    field.m_bQBBrowse = fields.m_QBBrowse != 0;
    field.m_bQBDetail = fields.m_QBDetail != 0;
    info.m_fields.push_back(std::move(field));
  }
}

// False when a parameter or output type reads as 0: the whole database is
// then left out.
bool LoadProcedures(CDatabase* catalogue, CDatabaseInfo& info) {
  CProcedures_2 procedures(catalogue);
  procedures.m_strFilter = "DatabaseName=" + SQLQuote(info.m_strName);
  procedures.m_strSort = "ProcedureName";
  procedures.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  for (; !procedures.IsEOF(); procedures.MoveNext()) {
    CProcedureInfo procedure;
    procedure.m_strName = procedures.m_ProcedureName;
    procedure.m_nKeyID = procedures.m_KeyID == 0 ? -1 : procedures.m_KeyID;
    if (!qn::dbservice::ParseParams(procedures.m_Params, procedure.m_paramTypes, procedure.m_paramDefaults) ||
        !qn::dbservice::ParseOutputColumnTypes(procedures.m_OutputColumnTypes, procedure.m_outputTypes))
      return false;
    for (int& type : procedure.m_paramTypes) type = qn::dbservice::NormaliseSqlType(type);
    for (int& type : procedure.m_outputTypes) type = qn::dbservice::NormaliseSqlType(type);
    info.m_procedures.push_back(std::move(procedure));
  }
  return true;
}

}  // namespace

std::string CFieldInfo::Table() const { return m_strName.substr(0, m_strName.find('.')); }

std::string CFieldInfo::Column() const {
  const size_t dot = m_strName.find('.');
  return dot == std::string::npos ? std::string() : m_strName.substr(dot + 1);
}

const CFieldInfo* CDatabaseInfo::FindField(std::string_view name) const {
  for (const CFieldInfo& field : m_fields)
    if (EqualNoCase(field.m_strName, name)) return &field;
  return nullptr;
}

bool ReadColumnCatalogue(CDatabase* database, const std::string& table, const std::string& column,
                         CFieldInfo& field) {
  // One driver compares catalogue names exactly and keeps unquoted names in
  // lower case; the table is asked as written, then in lower and upper case,
  // and its rows are matched here without regard to case.
  std::vector<std::string> spellings = {table};
  for (int (*convert)(int) : {::tolower, ::toupper}) {
    std::string spelling = CaseOf(table, convert);
    if (std::find(spellings.begin(), spellings.end(), spelling) == spellings.end())
      spellings.push_back(std::move(spelling));
  }
  for (const std::string& spelling : spellings) {
    CColumnInfoSet columns(database);
    if (!columns.Open(nullptr, nullptr, spelling.c_str(), nullptr, CRecordset::forwardOnly)) return false;
    bool anyRow = false;
    for (; !columns.IsEOF(); columns.MoveNext()) {
      if (!EqualNoCase(columns.m_strTableName, table)) continue;
      anyRow = true;
      if (!EqualNoCase(columns.m_strColumnName, column)) continue;
      field.m_nSQLType = columns.m_nDataType;
      field.m_strTypeName = columns.m_strTypeName;
      field.m_nPrecision = columns.m_nPrecision;
      field.m_nLength = columns.m_nLength;
      field.m_nScale = columns.m_nScale;
      field.m_nRadix = columns.m_nRadix;
      field.m_nNullable = columns.m_nNullable;
      return true;
    }
    if (anyRow) return false;
  }
  return false;
}

bool LoadDatabaseCatalogue() {
  FreeDatabaseCatalogue();
  CDatabase* catalogue = nullptr;
  try {
    catalogue = GetDatabase(kCatalogueConnect, false);
    CDatabases_2 databases(catalogue);
    databases.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    for (; !databases.IsEOF(); databases.MoveNext()) {
      auto info = std::make_unique<CDatabaseInfo>();
      info->m_strConnect = "DSN=" + databases.m_ODBCDataSource;
      if (!databases.m_ODBCConnectString.empty()) info->m_strConnect += ";" + databases.m_ODBCConnectString;
      info->m_strName = databases.m_DatabaseName;
      info->m_strSort = databases.m_Sort == " " ? std::string() : databases.m_Sort;
      info->m_strPrimaryKey = databases.m_PrimaryKeyField;
      info->m_nReadKeyID = databases.m_ReadKeyID;
      info->m_strReadFilter = databases.m_ReadFilter;
      info->m_nWriteKeyID = databases.m_WriteKeyID;
      info->m_strWriteFilter = databases.m_WriteFilter;
      info->m_bIsQuickBase = databases.m_IsQuickBase != 0;
      try {
        CDatabase* own = GetDatabase(info->m_strConnect, false);
        if (own == nullptr || !own->IsOpen()) continue;
        LoadFields(catalogue, own, *info);
        if (!LoadProcedures(catalogue, *info)) continue;
      } catch (const std::exception&) {
        // A database that cannot be reached or read is left out; the
        // others load.
        continue;
      }
      g_catalogue.push_back(std::move(info));
    }
  } catch (const std::exception&) {
    FreeDatabaseCatalogue();
    return false;
  }
  g_loaded = true;
  return true;
}

void FreeDatabaseCatalogue() {
  g_catalogue.clear();
  g_loaded = false;
}

bool IsDatabaseCatalogueLoaded() { return g_loaded; }

const CDatabaseCatalogue& DatabaseCatalogue() { return g_catalogue; }

const CDatabaseInfo* FindDatabaseInfo(std::string_view name) {
  if (name.empty()) return nullptr;
  for (const auto& info : g_catalogue)
    if (EqualNoCase(info->m_strName, name)) return info.get();
  return nullptr;
}
