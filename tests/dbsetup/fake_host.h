// Fakes of everything around the installer's steps: a view that records
// what it shows and answers from a script, ODBC data sources, settings and
// files in memory (with failures on demand), and databases that record
// their calls.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/data/database.h"
#include "tools/dbsetup/core/installer_dlg.h"
#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup::test {

struct ShownBox {
  std::string text;
  std::string caption;
  Buttons buttons;
  Icon icon;
};

class FakeView : public IInstallerView {
 public:
  void ShowStatus(const std::string& status, const std::string& detail) override {
    if (statuses.empty() || statuses.back() != status) statuses.push_back(status);
    lastDetail = detail;
  }
  void PostNextStep() override { ++posted; }
  void EndDialog(int result) override { ended = result; }
  int MessageBox(const std::string& text, const std::string& caption, Buttons buttons, Icon icon) override {
    boxes.push_back({text, caption, buttons, icon});
    if (answers.empty()) return IDOK;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  int RunDriverChoice() override {
    ++driverChoices;
    return driverChoice;
  }
  int RunSqlServerParams(SqlServerParams& values) override {
    shownParams.push_back(values);
    if (paramAnswers.empty()) return IDCANCEL;
    auto answer = paramAnswers.front();
    paramAnswers.pop_front();
    return answer(values);
  }
  void Pause(int milliseconds) override { paused += milliseconds; }

  std::vector<std::string> statuses;
  std::string lastDetail;
  int posted = 0;
  std::optional<int> ended;
  std::vector<ShownBox> boxes;
  std::deque<int> answers;  // message box answers in turn, then IDOK
  int driverChoice = IDCANCEL;
  int driverChoices = 0;
  std::deque<std::function<int(SqlServerParams&)>> paramAnswers;
  std::vector<SqlServerParams> shownParams;
  int paused = 0;
};

class FakeOdbc : public IOdbcAdmin {
 public:
  bool DataSources(std::vector<DataSource>& out) override {
    if (invalidSources) return false;
    for (const auto& [name, attributes] : sources) out.push_back({name, attributes.at("Driver")});
    return true;
  }
  bool Drivers(std::vector<std::string>& out) override {
    out = drivers;
    return !invalidDrivers;
  }
  bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes) override;
  std::string ListedDataSource(const std::string& name) override {
    auto found = listed.find(name);
    return found == listed.end() ? "" : found->second;
  }
  DataSourceState SaveDataSource(const std::string& name) override;
  void RestoreDataSource(const DataSourceState& state) override;

  std::map<std::string, std::map<std::string, std::string>> sources;
  std::map<std::string, std::string> listed;
  std::vector<std::string> drivers;
  bool invalidSources = false;
  bool invalidDrivers = false;
  std::vector<std::string> requests;  // "4 Quillnet SQLite3 Quillnet Server"
};

class FakeSettings : public ISettings {
 public:
  std::optional<std::string> ReadRegistry(const std::string& section, const std::string& name) override;
  void WriteRegistry(const std::string& section, const std::string& name,
                     const std::optional<std::string>& value, bool secret) override;
  std::optional<std::string> ReadProfile(const std::string& file, const std::string& section,
                                         const std::string& key) override;
  void WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                    const std::optional<std::string>& value, bool secret) override;

  std::map<std::string, std::string> registry;  // "General\ODBCType"
  std::set<std::string> secretValues;
  class FakeFiles* files = nullptr;  // profile files live there
};

class FakeFiles : public IFileSystem {
 public:
  bool Exists(const std::string& path) override { return content.count(path) != 0; }
  void Copy(const std::string& from, const std::string& to) override;
  void Rename(const std::string& from, const std::string& to, bool noReplace) override;
  void Remove(const std::string& path) override;
  std::optional<std::string> Read(const std::string& path) override;
  int OpenedByOther(const std::vector<std::string>& paths, std::string& which) override {
    for (const std::string& path : paths) {
      auto found = openBy.find(path);
      if (found != openBy.end()) {
        which = path;
        return found->second;
      }
    }
    return 0;
  }
  bool IsDatabaseFile(const std::string& path) override {
    return Exists(path) && content[path].rfind("db:", 0) == 0;
  }

  std::map<std::string, std::string> content;
  std::map<std::string, int> openBy;
  // Renames and copies counted from 1; the one of this number fails.
  int failAt = 0;
  int operations = 0;
  std::string failText = "disk full";
};

class FakeDatabases : public IDatabaseWork {
 public:
  bool TableExists(const std::string& dataSource, const std::string& connect,
                   const std::string& table) override;
  void OpenTarget(const std::string& dataSource, const std::string& connect) override;
  void RunScript(const std::string& script) override;
  void AddDefaultRecords() override;
  void AddProcedures() override;
  AttachmentMoves Upgrade(const UpgradeRequest& request, IUpgradeProgress& progress) override;
  void Commit() override;
  void Rollback() override;

  std::set<std::string> tables;  // TableExists answers TRUE for these
  bool tableExistsThrows = false;
  std::string failOn;            // a call of this name throws CDBException
  std::vector<std::string> calls;
  bool open = false;
  std::function<AttachmentMoves(const UpgradeRequest&, IUpgradeProgress&)> upgrade;
};

class FakeServices : public IServiceControl {
 public:
  bool StartServiceIfNecessary(const std::string& name) override {
    started.push_back(name);
    return false;
  }
  std::vector<std::string> started;
};

// One installer run on fakes: the program directory "/p/", QNSVR.INI at
// "/etc/QNSVR.INI".
struct FakeInstallation {
  FakeInstallation();
  InstallerHost Host();
  // Runs the chain as the dialog's queue would, to its end.
  void Run();
  // A whole installation's files: templates, and the live files when given.
  void AddTemplates();
  void AddLiveFiles(const std::string& extension = "MDB", const std::string& mark = "live");

  FakeView view;
  FakeOdbc odbc;
  FakeSettings settings;
  FakeFiles files;
  FakeDatabases databases;
  FakeServices services;
  std::unique_ptr<CInstallerDlg> dialog;
};

inline constexpr const char* kDir = "/p/";
inline constexpr const char* kServerIni = "/etc/QNSVR.INI";

}  // namespace qn::dbsetup::test
