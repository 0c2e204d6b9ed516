// A private installation for the database tests, in either storage mode.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "server/data/database.h"

namespace qn::test {

inline constexpr const char* kAreaFiles[] = {"QNACCOUN", "QNAUDIT", "QNCHAT", "QNDB",
                                             "QNFILE",   "QNMAIL",  "QNRMSG"};

// The connect string the system uses for an area: "DSN=Quillnet Server;DBQ=QNFILE.MDB".
std::string AreaConnect(const std::string& area);

// One QN_ROOT per test process (the driver manager keeps its configuration
// directory for the life of the process); each test gets fresh databases.
class DataTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // The per-area mode with the seven files made from the SQLite scripts.
  void UseAccessFiles();
  // The one-database mode on a fresh PostgreSQL database made from the
  // script; false (and the test should skip) without a test server.
  bool UsePostgres();
  static bool PostgresAvailable();

  static std::filesystem::path Root();
  std::string pgDatabase_;
};

#define QN_REQUIRE_POSTGRES()                                                          \
  do {                                                                                 \
    if (!UsePostgres()) GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)"; \
  } while (0)

}  // namespace qn::test
