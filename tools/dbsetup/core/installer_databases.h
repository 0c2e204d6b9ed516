// The installer's database work through ODBC: the catalogue test, the one
// target database of a run with its transaction (schema script, seed rows,
// the later additions), and the upgrade.
#pragma once
#include <memory>
#include <string>

#include "server/data/database.h"
#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

class OdbcDatabaseWork : public IDatabaseWork {
 public:
  explicit OdbcDatabaseWork(std::string programDir) : programDir_(std::move(programDir)) {}
  ~OdbcDatabaseWork() override;

  bool TableExists(const std::string& dataSource, const std::string& connect, const std::string& table) override;
  void OpenTarget(const std::string& dataSource, const std::string& connect) override;
  void RunScript(const std::string& script) override;
  void AddDefaultRecords() override;
  void AddProcedures() override;
  AttachmentMoves Upgrade(const UpgradeRequest& request, IUpgradeProgress& progress) override;
  void Commit() override;
  void Rollback() override;

 private:
  CDatabase& Target();

  std::string programDir_;
  std::unique_ptr<CDatabase> target_;
};

}  // namespace qn::dbsetup
