#include "server/data/database.h"

#include <optional>
#include <string_view>
#include <utility>

#include "platform/odbc_statement.h"
#include "server/data/data_source.h"

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { Close(); }

void CDatabase::OpenEx(const std::string& connect) {
  if (!EnsureOdbcSetup())
    throw CDBException("HY000", "the ODBC configuration directory cannot be written");
  Close();
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

using qn::odbc::Error;
using qn::odbc::Param;
using qn::odbc::Statement;

bool StateIs(const Error& e, std::string_view state) { return e.SqlState() == state; }
bool ClassIs(const Error& e, std::string_view cls) { return e.SqlState().compare(0, 2, cls) == 0; }

// A failure that took its time (a time-out, a lock held elsewhere): running
// the statement again would only wait again.
bool IsWait(const Error& e, SqlDialect dialect) {
  if (StateIs(e, "HYT00") || StateIs(e, "HYT01") || StateIs(e, "57014") || StateIs(e, "55P03") ||
      ClassIs(e, "40"))
    return true;
  // SQLite's "database is busy" and "database table is locked".
  return dialect == SqlDialect::SQLite && (e.NativeCode() == 5 || e.NativeCode() == 6);
}

// A failure caused by the values or the transaction rather than by the
// statement, which a fresh statement would meet again.
bool IsValueFailure(const Error& e) { return ClassIs(e, "22") || ClassIs(e, "23") || ClassIs(e, "25"); }

// Statements are kept by text and by the SQL types of their parameters: a
// server-side statement has its parameter types fixed when prepared.
std::string CacheKey(const std::string& text, const std::vector<Param>& params) {
  std::string key;
  key.reserve(text.size() + 1 + params.size());
  key = text;
  key += '\0';
  for (const Param& p : params) key += static_cast<char>(p.sqlType + 64);
  return key;
}

}  // namespace

StatementLease& StatementLease::operator=(StatementLease&& other) noexcept {
  if (this == &other) return *this;
  reset();
  owner_ = std::exchange(other.owner_, nullptr);
  key_ = std::move(other.key_);
  generation_ = other.generation_;
  statement_ = std::move(other.statement_);
  return *this;
}

void StatementLease::reset() noexcept {
  if (statement_ && owner_) {
    try {
      owner_->GiveBack(std::move(key_), generation_, std::move(statement_));
    } catch (...) {
      // Not kept then; the statement is freed below.
    }
  }
  statement_.reset();
  owner_ = nullptr;
  key_.clear();
}

void CDatabase::GiveBack(std::string key, uint64_t generation, std::unique_ptr<Statement> statement) {
  if (generation != generation_ || !IsOpen()) return;
  // An idle statement holds no cursor: SQLite would keep its read snapshot.
  statement->CloseCursor();
  CachedText* known = statements_.Find(key);
  if (known == nullptr) statements_.Put(std::move(key), CachedText{std::move(statement), false});
  else if (!known->idle && !known->refused) known->idle = std::move(statement);
}

CDatabase::StatementStats CDatabase::Stats() const {
  StatementStats stats;
  stats.prepares = prepares_;
  statements_.ForEach([&](const CachedText& entry) {
    if (entry.idle) ++stats.cached;
    if (entry.refused) ++stats.refused;
  });
  return stats;
}

std::unique_ptr<Statement> CDatabase::TakeOrPrepare(const std::string& key, const std::string& text,
                                                    bool& cached) {
  std::unique_ptr<Statement> statement;
  if (CachedText* known = statements_.Find(key)) statement = std::move(known->idle);
  cached = statement != nullptr;
  if (!statement) {
    statement = std::make_unique<Statement>(connection_);
    statement->Prepare(text);
    ++prepares_;
  }
  return statement;
}

void CDatabase::Run(Statement& statement, std::vector<Param> params) {
  statement.SetQueryTimeout(queryTimeout_);
  statement.BindParams(std::move(params));
  ++statementsRun_;
  statement.Execute();
}

StatementLease CDatabase::QueryDirect(const std::string& sql, std::vector<Param> params) {
  auto statement = std::make_unique<Statement>(connection_);
  statement->SetQueryTimeout(queryTimeout_);
  statement->BindParams(std::move(params));
  ++statementsRun_;
  statement->ExecuteDirect(sql);
  return StatementLease(std::move(statement));
}

StatementLease CDatabase::Query(const std::string& text, std::vector<Param> params,
                                const std::string& written, std::vector<Param> writtenParams) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    if (text.empty()) return QueryDirect(written, std::move(writtenParams));
    std::string key = CacheKey(text, params);
    if (const CachedText* known = statements_.Find(key); known && known->refused)
      return QueryDirect(written, std::move(writtenParams));
    bool cached = false;
    try {
      auto statement = TakeOrPrepare(key, text, cached);
      Run(*statement, params);
      return StatementLease(this, std::move(key), generation_, std::move(statement));
    } catch (const Error& first) {
      if (IsWait(first, dialect_)) throw;
      std::optional<Error> failure;
      if (cached && !IsValueFailure(first)) {
        // A kept statement may be stale (a changed table, a lost plan):
        // prepared afresh once.
        try {
          auto statement = TakeOrPrepare(key, text, cached);
          Run(*statement, std::move(params));
          return StatementLease(this, std::move(key), generation_, std::move(statement));
        } catch (const Error& second) {
          failure = second;
        }
      } else {
        failure = first;
      }
      // A lost connection is the pool's to renew, never hidden behind the
      // statement as written.
      if (IsWait(*failure, dialect_) || qn::odbc::IsConnectionLost(*failure)) throw *failure;
      // The database refuses the parameterised form (or the statement fails
      // either way, and the statement as written says how).
      StatementLease lease = QueryDirect(written, std::move(writtenParams));
      statements_.Put(std::move(key), CachedText{nullptr, true});
      return lease;
    }
  } catch (const CDBException&) {
    throw;
  } catch (const Error& e) {
    throw CDBException(e);
  }
}

std::unique_ptr<Statement> CDatabase::RunWrite(const std::string& key, const std::string& sql,
                                               std::vector<Param> params) {
  bool cached = false;
  std::unique_ptr<Statement> statement;
  try {
    statement = TakeOrPrepare(key, sql, cached);
    Run(*statement, params);
  } catch (const Error& first) {
    statement.reset();
    if (!cached || IsWait(first, dialect_) || IsValueFailure(first)) throw;
    // A kept statement may be stale: prepared afresh once. A failed write
    // changed nothing, so running it again is safe.
    statement = TakeOrPrepare(key, sql, cached);
    Run(*statement, std::move(params));
  }
  return statement;
}

long CDatabase::ExecuteCached(const std::string& sql, std::vector<Param> params) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    const std::string key = CacheKey(sql, params);
    std::unique_ptr<Statement> statement = RunWrite(key, sql, std::move(params));
    const long count = statement->RowCount();
    GiveBack(key, generation_, std::move(statement));
    return count;
  } catch (const Error& e) {
    throw CDBException(e);
  }
}

int32_t CDatabase::InsertReturningKey(const std::string& sql, std::vector<Param> params) {
  if (!IsOpen()) throw CDBException("08003", "the database is not open");
  try {
    const std::string key = CacheKey(sql, params);
    std::unique_ptr<Statement> statement = RunWrite(key, sql, std::move(params));
    int32_t inserted = 0;
    if (statement->Fetch()) statement->GetInt32(1, inserted);
    GiveBack(key, generation_, std::move(statement));
    return inserted;
  } catch (const Error& e) {
    throw CDBException(e);
  }
}

void CDatabase::Close() {
  ++generation_;
  statements_.Clear();
  lastIdentity_.reset();
  connection_.Close();
}

int32_t CDatabase::LastIdentity() {
  int32_t key = 0;
  try {
    if (!lastIdentity_) lastIdentity_ = std::make_unique<qn::odbc::Statement>(connection_);
    // Executed afresh each time: the SQLite driver's prepared SELECT does not
    // come back right when run again.
    ++statementsRun_;
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
    ++statementsRun_;
    connection_.Execute(RewriteSql(dialect_, sql), queryTimeout_);
  } catch (const qn::odbc::Error& e) {
    throw CDBException(e);
  }
}
