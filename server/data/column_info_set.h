// The ODBC column catalogue of a data source as a recordset: one row per
// column that SQLColumns reports for the names asked.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "server/data/database.h"

class CColumnInfoSet {
 public:
  explicit CColumnInfoSet(CDatabase* database);
  ~CColumnInfoSet();
  CColumnInfoSet(const CColumnInfoSet&) = delete;
  CColumnInfoSet& operator=(const CColumnInfoSet&) = delete;

  // False when the driver offers no SQLColumns. Otherwise runs it with the
  // four names (null: every name; table and column are search patterns) and
  // fetches the first row. Throws CDBException.
  bool Open(const char* qualifier, const char* owner, const char* table, const char* column,
            unsigned openType);
  void Close();
  bool IsOpen() const { return static_cast<bool>(statement_); }
  bool IsEOF() const { return eof_; }
  void MoveNext();

  std::string m_strQualifier;
  std::string m_strOwner;
  std::string m_strTableName;
  std::string m_strColumnName;
  int m_nDataType = 0;
  std::string m_strTypeName;
  int32_t m_nPrecision = 0;
  int32_t m_nLength = 0;
  int m_nScale = 0;
  int m_nRadix = 0;
  int m_nNullable = 0;
  std::string m_strRemarks;

 private:
  void Fetch();

  CDatabase* database_;
  std::unique_ptr<qn::odbc::Statement> statement_;
  bool eof_ = true;
};
