#include "support/pg_cluster.h"

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <vector>

#include "support/service_helpers.h"

namespace qn::test {

namespace {

constexpr const char* kVariables[] = {"QN_TEST_PG_HOST", "QN_TEST_PG_PORT", "QN_TEST_PG_USER",
                                      "QN_TEST_PG_PASSWORD"};

std::string Script() { return std::string(QN_SOURCE_DIR) + "/scripts/pg-test-server"; }

qn::svctest::RunResult Bash(const std::string& commands) {
  return qn::svctest::RunProgram({"/bin/bash", "-c", "source '" + Script() + "' && " + commands},
                                 std::chrono::seconds(120));
}

}  // namespace

PrivatePgCluster::~PrivatePgCluster() {
  if (dir_.empty()) return;
  Bash("PG_TEST_DIR='" + dir_ + "' PG_TEST_BIN='" + bin_ + "' pg_test_server_stop");
  for (size_t i = 0; i < std::size(kVariables); ++i) {
    if (saved_[i].empty())
      ::unsetenv(kVariables[i]);
    else
      ::setenv(kVariables[i], saved_[i].c_str(), 1);
  }
}

bool PrivatePgCluster::Start(std::string* error) {
  // The script prints its exports last, one per line.
  const auto run = Bash("pg_test_server_start >&2 && [ -n \"${PG_TEST_DIR:-}\" ] && "
                        "printf '%s\\n' \"#$PG_TEST_DIR\" \"#$PG_TEST_BIN\" \"#$QN_TEST_PG_HOST\" "
                        "\"#$QN_TEST_PG_PORT\" \"#$QN_TEST_PG_USER\" \"#$QN_TEST_PG_PASSWORD\"");
  std::istringstream lines(run.output);
  std::string line;
  std::vector<std::string> values;
  while (std::getline(lines, line))
    if (line.size() > 1 && line[0] == '#') values.push_back(line.substr(1));
  if (run.exitCode != 0 || values.size() != 6) {
    *error = run.output;
    return false;
  }
  dir_ = values[0];
  bin_ = values[1];
  for (size_t i = 0; i < std::size(kVariables); ++i) {
    const char* old = std::getenv(kVariables[i]);
    saved_[i] = old != nullptr ? old : "";
    ::setenv(kVariables[i], values[2 + i].c_str(), 1);
  }
  return true;
}

bool PrivatePgCluster::Control(const std::string& action) {
  return Bash("PG_TEST_DIR='" + dir_ + "' PG_TEST_BIN='" + bin_ + "' pg_test_server_ctl " +
              action)
             .exitCode == 0;
}

bool PrivatePgCluster::Halt() { return Control("stop"); }
bool PrivatePgCluster::Resume() { return Control("start"); }

}  // namespace qn::test
