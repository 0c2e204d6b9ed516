#include "support/installer_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/odbc_config.h"
#include "platform/paths.h"
#include "server/data/data_source.h"
#include "server/data/database.h"
#include "support/member_install.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace fs = std::filesystem;

namespace qn::test {

namespace {

using namespace qn::dbsetup;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Runs the program with its arguments and returns what it printed.
std::string RunCapture(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
      out += text[++i] == 'n' ? '\n' : '\r';
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* AnswerWord(int answer) { return answer == IDYES ? "yes" : answer == IDNO ? "no" : "cancel"; }

}  // namespace

InstallerOutcome RunInstaller(const InstallerAnswers& answers) {
  MemberInstall::Root();
  std::vector<std::string> args = {std::string(QN_BIN_DIR) + "/qndbup32_test", "--choice",
                                   std::to_string(answers.driverChoice)};
  for (const auto& [text, answer] : answers.boxes) {
    if (text == texts::kSqlSetupQuestion) args.insert(args.end(), {"--sql-setup", AnswerWord(answer)});
    if (text == texts::kUpgradeToSqlQuestion) args.insert(args.end(), {"--upgrade", AnswerWord(answer)});
  }
  if (answers.params) {
    const SqlServerParams& p = *answers.params;
    args.insert(args.end(), {"--params", p.database + "\t" + p.loginId + "\t" + p.password + "\t" + p.serverName});
  }
  InstallerOutcome outcome;
  const std::string out = RunCapture(args);
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : Unescape(line.substr(space + 1));
    if (word == "status") outcome.statuses.push_back(rest);
    else if (word == "box") outcome.boxes.push_back(rest);
    else if (word == "detail") outcome.detail = rest;
    else if (word == "ended" && rest != "0") outcome.ended = std::atoi(rest.c_str());
    else if (word == "seconds") outcome.seconds = std::atof(rest.c_str());
  }
  return outcome;
}

void ResetInstallation(bool setUp) {
  const fs::path root = MemberInstall::Root();
  // The data layer's one-time set-up (which adds "Quillnet Server" when it
  // finds none) happens now, not in the middle of a test's installation.
  EnsureOdbcSetup();
  std::error_code ec;
  fs::remove_all(root / "var/lib/quillnet", ec);
  fs::create_directories(root / "var/lib/quillnet");
  fs::remove(root / "etc/quillnet/registry.reg", ec);
  fs::remove(root / "etc/quillnet/QNSVR.INI", ec);
  fs::create_directories(root / "etc/quillnet/odbc");
  // Through the driver manager, which forgets what it read of the file only
  // when it writes it itself.
  for (const char* name : {texts::kServerDataSource, texts::kAccountDataSource, texts::kNewServerDataSource}) {
    qn::odbc::RemoveDataSource(name);
    qn::odbc::WriteOdbcIniValue(texts::kOdbcDataSourcesSection, name, nullptr);
  }
  if (!setUp) return;
  for (const char* stem : texts::kStems)
    fs::copy_file(fs::path(QN_TEMPLATE_DIR) / (std::string(stem) + ".NEW"),
                  root / "var/lib/quillnet" / (std::string(stem) + ".NEW"));
  fs::copy_file(fs::path(QN_TEMPLATE_DIR) / "QNDATA.SQL", root / "var/lib/quillnet/QNDATA.SQL");
}

SqlServerParams TestServerParams(const std::string& database) {
  return {database, Env("QN_TEST_PG_USER"), Env("QN_TEST_PG_PASSWORD"),
          Env("QN_TEST_PG_HOST") + "," + Env("QN_TEST_PG_PORT")};
}

namespace {

std::string AdminConnect(const std::string& database) {
  return "Driver={" + std::string(kPostgresDriverName) + "};Servername=" + Env("QN_TEST_PG_HOST") +
         ";Port=" + Env("QN_TEST_PG_PORT") + ";Database=" + database + ";UID=" + Env("QN_TEST_PG_USER") +
         ";PWD=" + Env("QN_TEST_PG_PASSWORD");
}

}  // namespace

ScratchPgDatabase::ScratchPgDatabase() {
  // The ODBC set-up follows the first root it sees: the process's.
  MemberInstall::Root();
  if (!PostgresTestServerAvailable()) return;
  static std::atomic<int> counter{0};
  name_ = "qni_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  CDatabase admin;
  admin.OpenEx(AdminConnect("postgres"));
  admin.ExecuteSQL("DROP DATABASE IF EXISTS " + name_);
  admin.ExecuteSQL("CREATE DATABASE " + name_);
}

ScratchPgDatabase::~ScratchPgDatabase() {
  if (name_.empty()) return;
  try {
    CDatabase admin;
    admin.OpenEx(AdminConnect("postgres"));
    admin.ExecuteSQL("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception&) {
  }
}

std::string ScratchPgDatabase::Connect() const { return AdminConnect(name_); }

}  // namespace qn::test
