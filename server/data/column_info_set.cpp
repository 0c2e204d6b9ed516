#include "server/data/column_info_set.h"

#include "platform/odbc_catalog.h"

namespace {
constexpr size_t kNameWidth = 255;
}  // namespace

CColumnInfoSet::CColumnInfoSet(CDatabase* database) : database_(database) {}

CColumnInfoSet::~CColumnInfoSet() { Close(); }

bool CColumnInfoSet::Open(const char* qualifier, const char* owner, const char* table,
                          const char* column, unsigned /*openType*/) {
  Close();
  if (database_ == nullptr || !database_->IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    if (!qn::odbc::SupportsFunction(database_->Connection(), SQL_API_SQLCOLUMNS)) return false;
    statement_ = std::make_unique<qn::odbc::Statement>(database_->Connection());
    qn::odbc::Columns(*statement_, qualifier, owner, table, column);
    Fetch();
  } catch (const qn::odbc::Error& e) {
    Close();
    throw CDBException(e);
  }
  return true;
}

void CColumnInfoSet::Close() {
  statement_.reset();
  eof_ = true;
}

void CColumnInfoSet::MoveNext() {
  if (eof_) return;
  try {
    Fetch();
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

void CColumnInfoSet::Fetch() {
  eof_ = !statement_->Fetch();
  if (eof_) return;
  qn::odbc::Statement& s = *statement_;
  int32_t number = 0;
  s.GetText(1, m_strQualifier, kNameWidth);
  s.GetText(2, m_strOwner, kNameWidth);
  s.GetText(3, m_strTableName, kNameWidth);
  s.GetText(4, m_strColumnName, kNameWidth);
  s.GetInt32(5, number);
  m_nDataType = number;
  s.GetText(6, m_strTypeName, kNameWidth);
  s.GetInt32(7, m_nPrecision);
  s.GetInt32(8, m_nLength);
  s.GetInt32(9, number);
  m_nScale = number;
  s.GetInt32(10, number);
  m_nRadix = number;
  s.GetInt32(11, number);
  m_nNullable = number;
  s.GetText(12, m_strRemarks, kNameWidth);
}
