#include "fake_host.h"

#include <sstream>

#include "tools/dbsetup/core/connect_text.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup::test {

namespace {

std::map<std::string, std::string> ParseProfile(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string WriteProfileText(const std::map<std::string, std::string>& values) {
  std::string text;
  for (const auto& [key, value] : values) text += key + "=" + value + "\n";
  return text;
}

}  // namespace

bool FakeOdbc::ConfigDataSource(int request, const std::string& driver, const std::string& attributes) {
  const auto list = ParseAttributeList(attributes);
  const std::string name = DataSourceOfAttributes(attributes);
  requests.push_back(std::to_string(request) + " " + driver + " " + name);
  if (request == kAddSystemDsn) {
    auto& source = sources[name];
    source.clear();
    source["Driver"] = driver;
    for (const auto& [key, value] : list)
      if (key != "DSN") source[key] = value;
    listed[name] = driver;
  } else {
    sources.erase(name);
    listed.erase(name);
  }
  return true;
}

DataSourceState FakeOdbc::SaveDataSource(const std::string& name) {
  DataSourceState state;
  state.name = name;
  auto found = sources.find(name);
  if (found != sources.end()) {
    state.exists = true;
    for (const auto& [key, value] : found->second) state.attributes.emplace_back(key, value);
  }
  state.listed = ListedDataSource(name);
  return state;
}

void FakeOdbc::RestoreDataSource(const DataSourceState& state) {
  sources.erase(state.name);
  listed.erase(state.name);
  if (state.exists)
    for (const auto& [key, value] : state.attributes) sources[state.name][key] = value;
  if (!state.listed.empty()) listed[state.name] = state.listed;
}

std::optional<std::string> FakeSettings::ReadRegistry(const std::string& section, const std::string& name) {
  auto found = registry.find(section + "\\" + name);
  if (found == registry.end()) return std::nullopt;
  return found->second;
}

void FakeSettings::WriteRegistry(const std::string& section, const std::string& name,
                                 const std::optional<std::string>& value, bool secret) {
  const std::string key = section + "\\" + name;
  if (value) registry[key] = *value;
  else registry.erase(key);
  if (secret) secretValues.insert("registry:" + key);
}

std::optional<std::string> FakeSettings::ReadProfile(const std::string& file, const std::string& section,
                                                     const std::string& key) {
  if (!files->Exists(file)) return std::nullopt;
  const auto values = ParseProfile(files->content[file]);
  auto found = values.find(section + "\\" + key);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

void FakeSettings::WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                                const std::optional<std::string>& value, bool secret) {
  auto values = ParseProfile(files->Exists(file) ? files->content[file] : "");
  if (value) values[section + "\\" + key] = *value;
  else values.erase(section + "\\" + key);
  files->content[file] = WriteProfileText(values);
  if (secret) secretValues.insert(file);
}

void FakeFiles::Copy(const std::string& from, const std::string& to) {
  if (++operations == failAt) throw FileError(to + ": " + failText);
  if (!Exists(from)) throw FileError(from + ": No such file or directory");
  content[to] = content[from];
}

void FakeFiles::Rename(const std::string& from, const std::string& to, bool noReplace) {
  if (++operations == failAt) throw FileError(to + ": " + failText);
  if (!Exists(from)) throw FileError(from + ": No such file or directory");
  if (noReplace && Exists(to)) throw FileError(to + ": File exists");
  content[to] = content[from];
  content.erase(from);
}

void FakeFiles::Remove(const std::string& path) {
  if (!Exists(path)) throw FileError(path + ": No such file or directory");
  content.erase(path);
}

std::optional<std::string> FakeFiles::Read(const std::string& path) {
  if (!Exists(path)) return std::nullopt;
  return content[path];
}

bool FakeDatabases::TableExists(const std::string& dataSource, const std::string& connect,
                                const std::string& table) {
  calls.push_back("TableExists " + dataSource + " | " + connect + " | " + table);
  if (tableExistsThrows) throw CDBException("08001", "cannot connect");
  return tables.count(table) != 0;
}

void FakeDatabases::OpenTarget(const std::string& dataSource, const std::string& connect) {
  calls.push_back("OpenTarget " + dataSource + " | " + connect);
  if (failOn == "OpenTarget") throw CDBException("08001", "no such database");
  open = true;
}

void FakeDatabases::RunScript(const std::string& script) {
  calls.push_back("RunScript " + script);
  if (failOn == "RunScript") throw CDBException("42601", "syntax error");
}

void FakeDatabases::AddDefaultRecords() {
  calls.push_back("AddDefaultRecords");
  if (failOn == "AddDefaultRecords") throw CDBException("23505", "duplicate key value");
}

void FakeDatabases::AddProcedures() {
  calls.push_back("AddProcedures");
  if (failOn == "AddProcedures") throw CDBException("42P01", "relation \"databases\" does not exist");
}

AttachmentMoves FakeDatabases::Upgrade(const UpgradeRequest& request, IUpgradeProgress& progress) {
  calls.push_back("Upgrade " + request.oldExtension + " -> " + request.newExtension);
  AttachmentMoves moves;
  if (upgrade) moves = upgrade(request, progress);
  if (failOn == "Upgrade") throw CDBException("23000", "constraint failed");
  return moves;
}

void FakeDatabases::Commit() {
  if (open) calls.push_back("Commit");
  if (open && failOn == "Commit") throw CDBException("40001", "could not serialize access");
  open = false;
}

void FakeDatabases::Rollback() {
  if (open) calls.push_back("Rollback");
  open = false;
}

FakeInstallation::FakeInstallation() {
  settings.files = &files;
  odbc.drivers = {"SQLite3", texts::kAccessDriver, texts::kSqlServerDriver};
  dialog = std::make_unique<CInstallerDlg>(Host());
}

InstallerHost FakeInstallation::Host() {
  InstallerHost host;
  host.view = &view;
  host.odbc = &odbc;
  host.settings = &settings;
  host.files = &files;
  host.databases = &databases;
  host.services = &services;
  host.programDir = kDir;
  host.serverIniFile = kServerIni;
  return host;
}

void FakeInstallation::Run() {
  dialog->OnInitDialog();
  // A step queues its successor; the dialog's end stops the queue.
  for (int turns = 0; view.posted > 0 && !view.ended && turns < 20; ++turns) {
    --view.posted;
    dialog->OnNextStep();
  }
}

void FakeInstallation::AddTemplates() {
  for (const char* stem : texts::kStems) files.content[std::string(kDir) + stem + ".NEW"] = "db:template";
}

void FakeInstallation::AddLiveFiles(const std::string& extension, const std::string& mark) {
  for (const char* stem : texts::kStems)
    files.content[std::string(kDir) + stem + "." + extension] = "db:" + mark + ":" + stem;
}

}  // namespace qn::dbsetup::test
