// A private installation for the member services, in either storage mode:
// databases made from the schema scripts, ODBC set-up and registry in one
// QN_ROOT per process (the driver manager keeps its configuration directory
// for the life of a process), and SQL for seeding and checking rows.
// Programs that use it link the server's code.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

class CDatabase;

namespace qn::test {

enum class StorageMode { Access, Postgres };

const char* StorageModeName(StorageMode mode);

// Environment of scripts/pg-test-server present.
bool PostgresTestServerAvailable();

class MemberInstall {
 public:
  MemberInstall() = default;
  ~MemberInstall();
  MemberInstall(const MemberInstall&) = delete;
  MemberInstall& operator=(const MemberInstall&) = delete;

  // The process's root; created and set as QN_ROOT on first use, removed at
  // exit.
  static const std::filesystem::path& Root();

  // Fresh databases of the mode and the registry that selects them, with the
  // client port. False (and `error` says why) when they cannot be made.
  bool Create(StorageMode mode, uint16_t port, std::string* error);
  StorageMode mode() const { return mode_; }
  // The TRUE literal of the mode's BOOL columns.
  const char* TrueLiteral() const { return mode_ == StorageMode::Access ? "-1" : "1"; }

  // A statement on an area's database ("QNACCOUN", "QNFILE", ...; in the
  // one-database mode all are the same database); throws on failure.
  void Exec(const char* area, const std::string& sql);
  // A connection of the test's own to an area's database, for a test that
  // reads it many times in a row.
  std::unique_ptr<CDatabase> Open(const char* area) const;
  // The first column of the first row as text; empty when there is none.
  std::string Query(const char* area, const std::string& sql);
  // Rows a query returns.
  long Count(const char* area, const std::string& sql);

  // A statement on the account or audit database; throws on failure.
  void ExecAccount(const std::string& sql);
  // The first column of the first row as text; empty when there is none.
  std::string QueryAccount(const std::string& sql);
  std::string QueryAudit(const std::string& sql);
  // Rows a query returns.
  long CountAccount(const std::string& sql);

  // The rows every installation has: one Defaults row, the default key
  // chain "Members" with keys, a non-default chain, and more keys.
  void SeedAccountDefaults(int32_t credits, int16_t rate, int16_t maxOnline);

 private:
  std::string ConnectFor(const char* area) const;

  StorageMode mode_ = StorageMode::Access;
  std::string pgDatabase_;
};

}  // namespace qn::test
