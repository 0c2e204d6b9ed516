// Runs the installer's steps on this machine, as qndbup32 does, in a
// process of their own (qndbup32_test) that answers the questions as told:
// the data sources, settings, files and databases are the real ones of the
// process's root.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/dbsetup/core/installer_host.h"

namespace qn::test {

struct InstallerAnswers {
  int driverChoice = qn::dbsetup::IDCANCEL;
  // Message box answers by text; others get IDOK.
  std::map<std::string, int> boxes;
  // The SQL Server parameters entered (OK), or Cancel when none.
  std::optional<qn::dbsetup::SqlServerParams> params;
};

struct InstallerOutcome {
  std::optional<int> ended;
  std::vector<std::string> statuses;
  std::vector<std::string> boxes;
  std::string detail;
  double seconds = 0;
};

// Message boxes other than the two questions are answered OK.
InstallerOutcome RunInstaller(const InstallerAnswers& answers);

// Empties the installation of the process's root (data sources, registry,
// QNSVR.INI, the program directory) and, with `setUp`, puts the templates
// and QNDATA.SQL into the program directory as scripts/create-databases does.
void ResetInstallation(bool setUp = true);

// The parameters that reach the PostgreSQL test server, for `database`.
qn::dbsetup::SqlServerParams TestServerParams(const std::string& database);
// A database of the test's own on the PostgreSQL test server (dropped
// with the object); empty name when there is no test server.
class ScratchPgDatabase {
 public:
  ScratchPgDatabase();
  ~ScratchPgDatabase();
  const std::string& name() const { return name_; }
  // A connect string to it for checks.
  std::string Connect() const;

 private:
  std::string name_;
};

}  // namespace qn::test
