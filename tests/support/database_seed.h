// An operator's databases for the "Database" service beside a member
// installation: a table People on an SQLite file and (with the PostgreSQL
// test server) the same table in a PostgreSQL database, each behind a data
// source of its own, and the catalogue rows (Databases, Fields, Procedures in
// QNDB) that list them with their fields, media directories and procedures.
#pragma once
#include <filesystem>
#include <string>

#include "support/member_install.h"

namespace qn::test {

class DatabaseSeed {
 public:
  // The data source names the catalogue uses.
  static constexpr const char* kSqliteSource = "QN Operator SQLite";
  static constexpr const char* kPostgresSource = "QN Operator PostgreSQL";
  static constexpr const char* kMissingSource = "QN Operator Missing";

  explicit DatabaseSeed(MemberInstall& install) : install_(install) {}
  ~DatabaseSeed();
  DatabaseSeed(const DatabaseSeed&) = delete;
  DatabaseSeed& operator=(const DatabaseSeed&) = delete;

  // The operator databases, their data sources and the catalogue; the
  // PostgreSQL one only when the test server is there. Adds key 6 to the
  // default key chain of MemberInstall::SeedAccountDefaults, which must have
  // run. False (and `error` says why) on failure.
  bool Create(std::string* error);
  // Only the two empty databases and their data sources.
  bool CreateDatabases(std::string* error);
  bool HasPostgres() const { return !pgDatabase_.empty(); }
  std::filesystem::path SqliteFile() const;
  const std::string& PostgresDatabase() const { return pgDatabase_; }

  // Statements and queries on an operator database: `postgres` picks the
  // PostgreSQL one. Query gives the first column of the first row as text.
  void Exec(bool postgres, const std::string& sql);
  std::string Query(bool postgres, const std::string& sql);

  // The text media directory of People.Photo ("media\" under the program
  // directory).
  std::filesystem::path MediaDirectory() const;

 private:
  std::string SqliteConnect() const;
  std::string PostgresConnect(const std::string& database) const;
  void CreateCatalogue();

  MemberInstall& install_;
  std::string pgDatabase_;
};

}  // namespace qn::test
