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

enum class StorageMode { AreaFiles, OneDatabase };

std::string StorageModeName(const ::testing::TestParamInfo<StorageMode>& info);

// The same tests in both storage modes; the one-database half skips without
// a test server.
class BothModesTest : public DataTest, public ::testing::WithParamInterface<StorageMode> {
 protected:
  void SetUp() override;
};

#define QN_INSTANTIATE_BOTH_MODES(suite)                                            \
  INSTANTIATE_TEST_SUITE_P(Modes, suite,                                              \
                           ::testing::Values(StorageMode::AreaFiles, StorageMode::OneDatabase), \
                           StorageModeName)

#define QN_REQUIRE_POSTGRES()                                                          \
  do {                                                                                 \
    if (!UsePostgres()) GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)"; \
  } while (0)

}  // namespace qn::test
