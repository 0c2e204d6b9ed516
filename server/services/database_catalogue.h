// The catalogue of the databases members may reach through the "Database"
// service: loaded once from the tables Databases, Fields and Procedures of
// QNDB at server start, checked against each data source's own column
// catalogue, and read-only afterwards.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CDatabase;

// One field a member may address: "Table.Column".
struct CFieldInfo {
  std::string m_strName;
  std::string m_strDescription;
  bool m_bIsMedia = false;
  // Empty, or ending in a separator.
  std::string m_strMediaDirectory;
  int32_t m_nReadKeyID = -1;
  std::vector<std::string> m_choices;
  // Both 0: no range.
  double m_dRangeLow = 0;
  double m_dRangeHigh = 0;
  std::string m_strFillMacro;
  bool m_bQBSearch = false;
  bool m_bQBBrowse = false;
  bool m_bQBDetail = false;
  // As the data source reports the column (dates as 9, 10, 11).
  int m_nSQLType = 0;
  std::string m_strTypeName;
  int32_t m_nPrecision = 0;
  int32_t m_nLength = 0;
  int m_nScale = 0;
  int m_nRadix = 0;
  int m_nNullable = 0;

  // The parts before and after the first ".".
  std::string Table() const;
  std::string Column() const;
  bool HasRange() const { return m_dRangeLow != 0 || m_dRangeHigh != 0; }
};

struct CProcedureInfo {
  std::string m_strName;
  std::vector<int> m_paramTypes;
  // One per parameter; empty: the client's value is used.
  std::vector<std::string> m_paramDefaults;
  std::vector<int> m_outputTypes;
  int32_t m_nKeyID = -1;
};

struct CDatabaseInfo {
  // "DSN=" + data source [+ ";" + connect string]: the pool's key.
  std::string m_strConnect;
  std::string m_strName;
  std::string m_strSort;
  std::string m_strPrimaryKey;
  int32_t m_nReadKeyID = -1;
  std::string m_strReadFilter;
  int32_t m_nWriteKeyID = -1;
  std::string m_strWriteFilter;
  bool m_bIsQuickBase = false;
  std::vector<CFieldInfo> m_fields;         // in FieldName order
  std::vector<CProcedureInfo> m_procedures;  // in ProcedureName order

  // By full name, without regard to case; null when absent.
  const CFieldInfo* FindField(std::string_view name) const;
};

using CDatabaseCatalogue = std::vector<std::unique_ptr<CDatabaseInfo>>;

// Loads the catalogue (a database whose data source, Fields or Procedures
// cannot be read is left out, as is a field its data source does not report
// or whose type the service cannot carry). False, and nothing loaded, when
// the Databases table cannot be read.
bool LoadDatabaseCatalogue();
void FreeDatabaseCatalogue();
bool IsDatabaseCatalogueLoaded();
const CDatabaseCatalogue& DatabaseCatalogue();
// By name without regard to case, the first match; null when absent.
const CDatabaseInfo* FindDatabaseInfo(std::string_view name);

// The column of a table as the data source's column catalogue reports it,
// found without regard to the case of either name: its DATA_TYPE (as
// reported), TYPE_NAME, PRECISION, LENGTH, SCALE, RADIX and NULLABLE into
// the field. False when the driver has no column catalogue or the column is
// not there. Throws CDBException.
bool ReadColumnCatalogue(CDatabase* database, const std::string& table, const std::string& column,
                         CFieldInfo& field);
