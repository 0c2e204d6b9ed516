#include "tools/dbsetup/core/installer_databases.h"

#include "server/data/sql_dialect.h"
#include "server/data/sql_script.h"
#include "tools/dbsetup/core/installer_connection.h"
#include "tools/dbsetup/core/schema_scripts.h"
#include "tools/dbsetup/core/seed_records.h"
#include "tools/dbsetup/core/upgrade_databases.h"

namespace qn::dbsetup {

namespace {

class TargetSeeds : public ISeedTarget {
 public:
  explicit TargetSeeds(CDatabase& database) : database_(database) {}
  int32_t Insert(const std::string& sql, bool wantKey) override {
    database_.ExecuteSQL(sql);
    return wantKey ? database_.LastIdentity() : 0;
  }

 private:
  CDatabase& database_;
};

}  // namespace

OdbcDatabaseWork::~OdbcDatabaseWork() { Rollback(); }

bool OdbcDatabaseWork::TableExists(const std::string& dataSource, const std::string& connect,
                                   const std::string& table) {
  CDatabase database;
  OpenInstallerDatabase(database, dataSource, connect, programDir_);
  return TableExistsOn(database, table);
}

void OdbcDatabaseWork::OpenTarget(const std::string& dataSource, const std::string& connect) {
  Rollback();
  auto database = std::make_unique<CDatabase>();
  OpenInstallerDatabase(*database, dataSource, connect + ";Protocol=7.4-1", programDir_);
  BeginTransaction(*database);
  target_ = std::move(database);
}

CDatabase& OdbcDatabaseWork::Target() {
  if (!target_) throw CDBException("08003", "no target database is open");
  return *target_;
}

void OdbcDatabaseWork::RunScript(const std::string& script) { ::RunSqlScript(Target(), script); }

void OdbcDatabaseWork::AddDefaultRecords() {
  TargetSeeds seeds(Target());
  InsertSeedRows(seeds, StoredTrue(Target().Dialect()));
}

void OdbcDatabaseWork::AddProcedures() {
  CDatabase& database = Target();
  const ProceduresStatements statements = ProceduresFromScript(
      database.Dialect() == SqlDialect::PostgreSQL ? kPostgresScript : kSqliteQndbScript);
  if (!ColumnExistsOn(database, "Databases", "ODBCConnectString")) database.ExecuteSQL(statements.addColumn);
  for (const std::string& statement : statements.createTable) database.ExecuteSQL(statement);
}

AttachmentMoves OdbcDatabaseWork::Upgrade(const UpgradeRequest& request, IUpgradeProgress& progress) {
  CUpgrade upgrade(request, progress, request.newExtension.empty() ? &Target() : nullptr);
  return upgrade.Run();
}

void OdbcDatabaseWork::Commit() {
  if (!target_) return;
  std::unique_ptr<CDatabase> database = std::move(target_);
  EndTransaction(*database, true);
  database->Close();
}

void OdbcDatabaseWork::Rollback() {
  if (!target_) return;
  std::unique_ptr<CDatabase> database = std::move(target_);
  try {
    EndTransaction(*database, false);
  } catch (const CDBException&) {
    // A connection that cannot roll back has lost its transaction anyway.
  }
  database->Close();
}

}  // namespace qn::dbsetup
