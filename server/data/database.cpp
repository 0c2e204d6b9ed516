#include "server/data/database.h"

#include "platform/odbc_statement.h"
#include "server/data/data_source.h"

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { Close(); }

void CDatabase::OpenEx(const std::string& connect) {
  if (!EnsureOdbcSetup())
    throw CDBException("HY000", "the ODBC configuration directory cannot be written");
  try {
    connection_.Open(TranslateConnectString(connect));
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
  dialect_ = DialectFromDbmsName(connection_.DbmsName());
  // Members' clients send 8-bit text that is not UTF-8. LATIN1 maps every
  // byte to one character, so any text is stored and read back byte for byte
  // whatever the database's own encoding.
  if (dialect_ == SqlDialect::PostgreSQL) ExecuteSQL("SET client_encoding TO 'LATIN1'");
}

namespace {
// Prepared texts kept per connection; past this the cache starts again.
constexpr size_t kPreparedLimit = 64;
}  // namespace

long CDatabase::ExecuteCached(const std::string& sql, std::vector<qn::odbc::Param> params) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
      if (prepared_.size() >= kPreparedLimit) prepared_.clear();
      auto statement = std::make_unique<qn::odbc::Statement>(connection_);
      statement->Prepare(sql);
      found = prepared_.emplace(sql, std::move(statement)).first;
    }
    qn::odbc::Statement& statement = *found->second;
    statement.SetQueryTimeout(queryTimeout_);
    statement.BindParams(std::move(params));
    try {
      statement.Execute();
    } catch (...) {
      // A statement that failed is prepared afresh next time.
      prepared_.erase(found);
      throw;
    }
    const long count = statement.RowCount();
    statement.CloseCursor();
    return count;
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}

void CDatabase::Close() {
  prepared_.clear();
  lastIdentity_.reset();
  connection_.Close();
}

int32_t CDatabase::LastIdentity() {
  int32_t key = 0;
  try {
    if (!lastIdentity_) lastIdentity_ = std::make_unique<qn::odbc::Statement>(connection_);
    // Executed afresh each time: the SQLite driver's prepared SELECT does not
    // come back right when run again.
    lastIdentity_->ExecuteDirect(dialect_ == SqlDialect::PostgreSQL ? "SELECT lastval()"
                                                                    : "SELECT last_insert_rowid()");
    if (lastIdentity_->Fetch()) lastIdentity_->GetInt32(1, key);
    lastIdentity_->CloseCursor();
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
  return key;
}

void CDatabase::ExecuteSQL(const std::string& sql) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    connection_.Execute(RewriteSql(dialect_, sql), queryTimeout_);
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}
