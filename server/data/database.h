// An open ODBC connection as the system's code sees it, and the exception
// its failures come in.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/odbc_connection.h"
#include "platform/odbc_error.h"
#include "platform/odbc_statement.h"
#include "server/data/sql_dialect.h"
#include "server/data/statement_cache.h"

// A database failure: the SQLSTATE and the driver's text.
class CDBException : public qn::odbc::Error {
 public:
  explicit CDBException(const qn::odbc::Error& error) : qn::odbc::Error(error) {}
  CDBException(const std::string& sqlState, const std::string& message)
      : qn::odbc::Error(sqlState, 0, message, "") {}
};

class CDatabase;

// A statement holding a query's rows. When released, a statement the
// connection prepared has its cursor closed and goes back to the
// connection's cache for the next query of the same text.
class StatementLease {
 public:
  StatementLease() = default;
  explicit StatementLease(std::unique_ptr<qn::odbc::Statement> statement)
      : statement_(std::move(statement)) {}
  StatementLease(CDatabase* owner, std::string key, uint64_t generation,
                 std::unique_ptr<qn::odbc::Statement> statement)
      : owner_(owner), key_(std::move(key)), generation_(generation), statement_(std::move(statement)) {}
  StatementLease(StatementLease&& other) noexcept { *this = std::move(other); }
  StatementLease& operator=(StatementLease&& other) noexcept;
  ~StatementLease() { reset(); }

  void reset() noexcept;
  explicit operator bool() const { return statement_ != nullptr; }
  qn::odbc::Statement* operator->() const { return statement_.get(); }
  qn::odbc::Statement& operator*() const { return *statement_; }

 private:
  CDatabase* owner_ = nullptr;
  std::string key_;
  uint64_t generation_ = 0;
  std::unique_ptr<qn::odbc::Statement> statement_;
};

class CDatabase {
 public:
  CDatabase();
  virtual ~CDatabase();
  CDatabase(const CDatabase&) = delete;
  CDatabase& operator=(const CDatabase&) = delete;

  // Opens the connection for a connect string in the system's form ("ODBC;"
  // prefix optional). Throws CDBException.
  void OpenEx(const std::string& connect);
  void Close();
  bool IsOpen() const { return connection_.IsOpen(); }

  // Runs a statement that returns no rows, after the dialect's rewrites.
  // Throws CDBException.
  void ExecuteSQL(const std::string& sql);

  // Seconds a statement may run; 0 is no limit.
  void SetQueryTimeout(long seconds) { queryTimeout_ = seconds; }
  long GetQueryTimeout() const { return queryTimeout_; }

  SqlDialect Dialect() const { return dialect_; }
  // Runs a statement with parameters that returns no rows; each text is
  // prepared once per connection (a recordset's INSERT, UPDATE and DELETE
  // texts repeat, their values are parameters). Returns the rows touched.
  // Throws CDBException.
  long ExecuteCached(const std::string& sql, std::vector<qn::odbc::Param> params);
  // The same for an INSERT that names its identity column after RETURNING:
  // the new key, read with the insert in one statement (PostgreSQL; the
  // SQLite driver reads no rows from an INSERT). Throws CDBException.
  int32_t InsertReturningKey(const std::string& sql, std::vector<qn::odbc::Param> params);

  // Runs a query. `text` is the statement with its literals as markers and
  // `params` the values of every marker in order; `written` is the
  // statement as built, with `writtenParams` for its own markers, run
  // instead when `text` is empty or the database has refused it. `text` is
  // prepared once per connection and reused; a statement that fails is
  // prepared afresh once, and a form the database refuses is not tried
  // again. Throws CDBException.
  StatementLease Query(const std::string& text, std::vector<qn::odbc::Param> params,
                       const std::string& written, std::vector<qn::odbc::Param> writtenParams);

  // What the connection keeps: statements prepared and idle, texts refused
  // in their parameterised form, and the prepares made since it opened.
  struct StatementStats {
    size_t cached = 0;
    size_t refused = 0;
    long prepares = 0;
  };
  StatementStats Stats() const;
  static constexpr size_t kStatementCacheLimit = 100;

  // Statements sent to the database since this object was made, each a
  // round trip on the caller's thread (a failed one and its retry count
  // apart); tests and benches state what a request costs with it.
  long StatementCount() const { return statementsRun_; }

  // The identity key of the row this connection inserted last. Throws
  // CDBException.
  int32_t LastIdentity();
  qn::odbc::Connection& Connection() { return connection_; }

  // Recordsets register while open: a connection with any is busy.
  int OpenRecordsetCount() const { return openRecordsets_; }
  void RecordsetOpened() { ++openRecordsets_; }
  void RecordsetClosed() {
    if (openRecordsets_ > 0) --openRecordsets_;
  }

 private:
  friend class StatementLease;
  // A statement prepared for `key` (from the cache when one is idle); sets
  // `cached` when it was.
  std::unique_ptr<qn::odbc::Statement> TakeOrPrepare(const std::string& key, const std::string& text,
                                                      bool& cached);
  void Run(qn::odbc::Statement& statement, std::vector<qn::odbc::Param> params);
  // Runs a write through the cache, prepared afresh once when a kept
  // statement fails.
  std::unique_ptr<qn::odbc::Statement> RunWrite(const std::string& key, const std::string& sql,
                                                std::vector<qn::odbc::Param> params);
  StatementLease QueryDirect(const std::string& sql, std::vector<qn::odbc::Param> params);
  void GiveBack(std::string key, uint64_t generation, std::unique_ptr<qn::odbc::Statement> statement);

  qn::odbc::Connection connection_;
  std::unique_ptr<qn::odbc::Statement> lastIdentity_;
  // Per text: its prepared statement while idle (none while lent out), or
  // that the database refused the text.
  struct CachedText {
    std::unique_ptr<qn::odbc::Statement> idle;
    bool refused = false;
  };
  LruCache<CachedText> statements_{kStatementCacheLimit};
  // Counts opens and closes, so a statement lent before a reconnection is
  // never given back to the new connection's cache.
  uint64_t generation_ = 0;
  long prepares_ = 0;
  long statementsRun_ = 0;
  SqlDialect dialect_ = SqlDialect::SQLite;
  long queryTimeout_ = 15;
  int openRecordsets_ = 0;
};
