#include "tools/dbsetup/core/installer_dlg.h"

#include <strings.h>

#include <cstdio>

#include "server/data/database.h"
#include "tools/dbsetup/core/connect_text.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup {

namespace {

using namespace texts;

// A step that ends after its own message: the run is taken back and the
// dialog closes with `result`.
struct StepEnded {
  int result;
};

std::string Format(const char* format, const std::string& text, long number = 0) {
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, format, text.c_str(), number);
  return buffer;
}

std::string OnlyDataSource(const char* name) { return AttributeList("DSN=%s%c", {name}); }

}  // namespace

std::string ErrorMessageText(const std::string& context, const char* errorText) {
  std::string text = std::string(kErrorPrefix) + context;
  if (errorText == nullptr || *errorText == 0) return text + kUnknownError;
  return text + " (" + std::string(errorText).substr(0, 128) + ")";
}

CInstallerDlg::CInstallerDlg(const InstallerHost& host)
    : host_(host),
      journal_(*host.files, *host.odbc, *host.settings),
      m_strProgramDir(host.programDir) {}

CInstallerDlg::~CInstallerDlg() {
  // A dialog closed between steps of a run that did not finish keeps what
  // the finished steps did, as the operator's close of the dialog always
  // has; only the databases' open work is given up.
  try {
    host_.databases->Rollback();
  } catch (...) {
  }
}

void CInstallerDlg::OnInitDialog() { SetStep(0); }

void CInstallerDlg::SetStep(int step) {
  m_nStep = step;
  if (step >= 0 && step <= 5) m_strStatus = kStepTexts[step];
  PushStatus();
  host_.view->PostNextStep();
}

void CInstallerDlg::PushStatus() { host_.view->ShowStatus(m_strStatus, DetailedStatusText()); }

const std::string& CInstallerDlg::DetailedStatusText() {
  if (progressName_ != nullptr) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, kProgressFormat, progressName_, progressNumber_, progressTotal_);
    m_strDetailedStatus = buffer;
    progressName_ = nullptr;
  }
  return m_strDetailedStatus;
}

void CInstallerDlg::Row(const char* name, long number, long total) {
  progressName_ = name;
  progressNumber_ = number;
  progressTotal_ = total;
  // The line is made only for the rows the eye can follow; an error quotes
  // the exact row from the numbers kept above.
  if (number == 1 || number == total || number % 512 == 0) PushStatus();
}

void CInstallerDlg::OnNextStep() {
  if (m_nStep < 0 || m_nStep > 5 || ended_) return;
  try {
    switch (m_nStep) {
      case 0: Step0Search(); break;
      case 1: Step1Create(); break;
      case 2: Step2EmptyAccess(); break;
      case 3: Step3EmptySqlServer(); break;
      case 4: Step4ExistingAccess(); break;
      case 5: Step5Procedures(); break;
    }
  } catch (const StepEnded& ended) {
    RollBack();
    ended_ = true;
    host_.view->EndDialog(ended.result);
  } catch (const CDBException& e) {
    const std::string text = std::string(kDatabaseErrorIntro) + m_strStatus + ", " +
                             DetailedStatusText() + ", " + e.DriverText();
    RollBack();
    host_.view->MessageBox(text, kProgramTitle, Buttons::Ok, Icon::Stop);
    ended_ = true;
    host_.view->EndDialog(IDOK);
  } catch (const std::exception& e) {
    // No further step; the dialog stays until the operator closes it.
    RollBack();
    ended_ = true;
    host_.view->MessageBox(e.what(), kProgramTitle, Buttons::Ok, Icon::Exclamation);
  } catch (...) {
    RollBack();
    ended_ = true;
    host_.view->MessageBox(ErrorMessageText(m_strStatus, nullptr), kProgramTitle, Buttons::Ok,
                           Icon::Exclamation);
  }
}

void CInstallerDlg::Finish(int result) {
  host_.databases->Commit();
  journal_.Commit();
  ended_ = true;
  host_.view->EndDialog(result);
}

void CInstallerDlg::RollBack() {
  try {
    host_.databases->Rollback();
  } catch (...) {
  }
  journal_.Undo();
}

std::string CInstallerDlg::FilePath(const char* stem, const std::string& extension) const {
  return m_strProgramDir + stem + "." + extension;
}

std::string CInstallerDlg::AccessAttributes(const char* format) const {
  if (format == kAccessAccountAttributes) return AttributeList(format, {m_strProgramDir, m_strProgramDir});
  return AttributeList(format, {m_strProgramDir});
}

void CInstallerDlg::WriteSetting(const char* name, const std::string& value, bool secret) {
  journal_.WriteRegistry(kGeneralSection, name, value, secret);
  journal_.WriteProfile(host_.serverIniFile, kGeneralSection, name, value, secret);
}

void CInstallerDlg::WriteOdbcType(const char* type) { WriteSetting(kOdbcTypeValue, type, false); }

void CInstallerDlg::CopyDatabaseFile(const std::string& from, const std::string& to) {
  const std::string source = m_strProgramDir + from;
  if (!host_.files->IsDatabaseFile(source)) throw FileError(Format(kNotADatabase, source));
  journal_.CopyFile(source, m_strProgramDir + to);
}

void CInstallerDlg::CheckFilesFree(std::initializer_list<const char*> extensions) {
  std::vector<std::string> paths;
  for (const char* stem : kStems) {
    for (const char* extension : extensions) {
      const std::string file = FilePath(stem, extension);
      paths.push_back(file);
      for (const char* suffix : kSideFileSuffixes) paths.push_back(file + suffix);
    }
  }
  std::string which;
  if (const int pid = host_.files->OpenedByOther(paths, which)) throw FileError(Format(kFileInUse, which, pid));
}

// Step 0: is there a "Quillnet Server" data source, on which driver, and
// which drivers are there?
void CInstallerDlg::Step0Search() {
  m_bAccessDriverInstalled = m_bSqlServerDriverInstalled = false;
  m_bDataSourceFound = m_bDataSourceIsAccess = false;

  std::vector<DataSource> sources;
  if (!host_.odbc->DataSources(sources)) {
    host_.view->MessageBox(kInvalidHandleDataSources, kProgramTitle, Buttons::Ok, Icon::Stop);
    throw StepEnded{IDCANCEL};
  }
  for (const DataSource& source : sources) {
    if (strcasecmp(source.name.c_str(), kServerDataSource) != 0) continue;
    m_bDataSourceFound = true;
    if (source.driver == kAccessDriver) {
      m_bDataSourceIsAccess = true;
    } else if (source.driver != kSqlServerDriver) {
      host_.view->MessageBox(kNeitherDriverOfDataSource, kProgramTitle, Buttons::Ok, Icon::Stop);
      throw StepEnded{IDCANCEL};
    }
  }

  std::vector<std::string> drivers;
  if (!host_.odbc->Drivers(drivers))
    host_.view->MessageBox(kInvalidHandle, kProgramTitle, Buttons::Ok, Icon::Stop);
  for (const std::string& driver : drivers) {
    if (driver == kAccessDriver) m_bAccessDriverInstalled = true;
    if (driver == kSqlServerDriver) m_bSqlServerDriverInstalled = true;
  }

  // A data source lost from its section but still listed, beside its files.
  if (!m_bDataSourceFound && m_bAccessDriverInstalled &&
      host_.files->Exists(m_strProgramDir + "QNACCOUN.MDB") &&
      !host_.odbc->ListedDataSource(kServerDataSource).substr(0, 99).empty()) {
    m_bDataSourceFound = true;
    m_bDataSourceIsAccess = true;
    journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessCoreAttributes));
  }
  SetStep(1);
}

// Step 1: a found data source goes on to its kind's step; otherwise the
// kind is chosen and its data sources made.
void CInstallerDlg::Step1Create() {
  if (m_bDataSourceFound) {
    SetStep(m_bDataSourceIsAccess ? 4 : 5);
    return;
  }
  bool access;
  if (!m_bAccessDriverInstalled && !m_bSqlServerDriverInstalled) {
    host_.view->MessageBox(kNoDriverInstalled, kProgramTitle, Buttons::Ok, Icon::Stop);
    Finish(IDCANCEL);
    return;
  } else if (!m_bAccessDriverInstalled) {
    access = false;
  } else if (!m_bSqlServerDriverInstalled) {
    access = true;
  } else {
    const int choice = host_.view->RunDriverChoice();
    if (choice == IDCANCEL) {
      Finish(IDCANCEL);
      return;
    }
    access = choice == kAccessButton;
  }

  if (access) {
    journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessCoreAttributes));
    journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessAccountAttributes));
    WriteOdbcType(kOdbcTypeAccess);
    SetStep(2);
    return;
  }
  if (host_.view->MessageBox(kSqlSetupQuestion, kSqlSetupCaption, Buttons::YesNo, Icon::Stop) != IDYES) {
    Finish(IDCANCEL);
    return;
  }
  SetUpSqlServerDataSource(kServerDataSource);
  SetStep(3);
}

// Step 2: every missing live file from its template; existing ones stay.
void CInstallerDlg::Step2EmptyAccess() {
  for (const char* stem : kStems) {
    if (host_.files->Exists(FilePath(stem, kLiveExtension))) continue;
    CopyDatabaseFile(std::string(stem) + "." + kTemplateExtension,
                     std::string(stem) + "." + kLiveExtension);
  }
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessAccountAttributes));
  WriteOdbcType(kOdbcTypeAccess);
  Finish(IDOK);
}

// Step 3: a database without Accounts gets the schema script and the seed
// rows, in one transaction; one that has it stays untouched.
void CInstallerDlg::Step3EmptySqlServer() {
  host_.services->StartServiceIfNecessary(kSqlServerService);
  if (!host_.databases->TableExists("", m_strConnectString, "Accounts")) {
    if (!RunSqlScript(kServerDataSource)) throw StepEnded{IDCANCEL};
    AddDefaultRecords();
  }
  Finish(IDOK);
  host_.view->Pause(1500);
}

// Step 4: the data source is registered again; version 1.0 files (they
// have LineNumbers) are upgraded, current ones go on to step 5.
void CInstallerDlg::Step4ExistingAccess() {
  const std::string server = OnlyDataSource(kServerDataSource);
  journal_.ConfigDataSource(kRemoveSystemDsn, kAccessDriver, server);
  journal_.ConfigDataSource(kRemoveDsn, kAccessDriver, server);
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessCoreAttributes));
  journal_.ConfigDataSource(kRemoveSystemDsn, kAccessDriver, OnlyDataSource(kAccountDataSource));
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessAccountAttributes));

  bool earlierVersion = false;
  try {
    earlierVersion = host_.databases->TableExists(
        kServerDataSource, "ODBC;DBQ=" + m_strProgramDir + "QNACCOUN.MDB", "LineNumbers");
  } catch (...) {
    earlierVersion = false;
  }
  if (!earlierVersion) {
    SetStep(5);
    return;
  }
  const int answer =
      host_.view->MessageBox(kUpgradeToSqlQuestion, kProgramTitle, Buttons::YesNoCancel, Icon::Question);
  if (answer == IDCANCEL) {
    Finish(IDCANCEL);
    return;
  }
  if (answer == IDYES) UpgradeIntoSqlServer();
  else UpgradeIntoAccessFiles();
}

void CInstallerDlg::UpgradeIntoSqlServer() {
  CheckFilesFree({kLiveExtension, kOldExtension});
  journal_.ConfigDataSource(kRemoveSystemDsn, kSqlServerDriver, OnlyDataSource(kNewServerDataSource));
  SetUpSqlServerDataSource(kNewServerDataSource);
  if (!RunSqlScript(kNewServerDataSource)) throw StepEnded{IDCANCEL};
  const AttachmentMoves moves = UpgradeDatabases(kLiveExtension, "");

  CheckFilesFree({kLiveExtension, kOldExtension});
  for (const char* stem : kStems)
    journal_.MoveDatabase(FilePath(stem, kLiveExtension), FilePath(stem, kOldExtension));
  MoveAttachments(moves);

  journal_.ConfigDataSource(kRemoveSystemDsn, kSqlServerDriver, OnlyDataSource(kServerDataSource));
  journal_.ConfigDataSource(kRemoveSystemDsn, kSqlServerDriver, OnlyDataSource(kNewServerDataSource));
  SetUpSqlServerDataSource(kServerDataSource);
  journal_.WriteProfile(m_strProgramDir + kAccountIniFile, kAccountIniSection, kAccountIniKey,
                        kServerDataSource);
  Finish(IDOK);
}

void CInstallerDlg::UpgradeIntoAccessFiles() {
  journal_.ConfigDataSource(kRemoveSystemDsn, kAccessDriver, OnlyDataSource(kNewServerDataSource));
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessUpgradeAttributes));
  CheckFilesFree({kLiveExtension, kOldExtension, kUpgradeExtension});
  for (const char* stem : kStems)
    CopyDatabaseFile(std::string(stem) + "." + kTemplateExtension,
                     std::string(stem) + "." + kUpgradeExtension);
  const AttachmentMoves moves = UpgradeDatabases(kLiveExtension, kUpgradeExtension);

  // Nothing moves unless every new file is there and no program holds any.
  CheckFilesFree({kLiveExtension, kOldExtension, kUpgradeExtension});
  for (const char* stem : kStems) {
    const std::string made = FilePath(stem, kUpgradeExtension);
    if (!host_.files->IsDatabaseFile(made)) throw FileError(Format(kNotADatabase, made));
  }
  for (const char* stem : kStems)
    journal_.MoveDatabase(FilePath(stem, kLiveExtension), FilePath(stem, kOldExtension));
  for (const char* stem : kStems)
    journal_.MoveDatabase(FilePath(stem, kUpgradeExtension), FilePath(stem, kLiveExtension));
  MoveAttachments(moves);

  journal_.ConfigDataSource(kRemoveSystemDsn, kAccessDriver, OnlyDataSource(kServerDataSource));
  journal_.ConfigDataSource(kRemoveSystemDsn, kAccessDriver, OnlyDataSource(kNewServerDataSource));
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessCoreAttributes));
  WriteOdbcType(kOdbcTypeAccess);
  journal_.ConfigDataSource(kAddSystemDsn, kAccessDriver, AccessAttributes(kAccessAccountAttributes));
  Finish(IDOK);
}

// Attachments take their message's new number in two rounds, all to
// temporary names first, so that no rename lands on a file another one has
// still to leave; a name held by a file no message owns stops the run.
void CInstallerDlg::MoveAttachments(const AttachmentMoves& moves) {
  auto name = [this](int32_t number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, kAttachmentFormat, static_cast<long>(number));
    return m_strProgramDir + buffer;
  };
  std::vector<std::pair<std::string, std::string>> pending;
  for (const auto& [from, to] : moves) {
    if (from == to) continue;
    const std::string source = name(from);
    if (!host_.files->Exists(source)) continue;
    const std::string temporary = source + ".QNU";
    journal_.MoveFile(source, temporary);
    pending.emplace_back(temporary, name(to));
  }
  for (const auto& [temporary, target] : pending) {
    if (host_.files->Exists(target)) throw FileError(Format(kAttachmentTaken, target));
    journal_.MoveFile(temporary, target);
  }
}

// Step 5: Procedures and Databases.ODBCConnectString where missing.
void CInstallerDlg::Step5Procedures() {
  std::string dataSource, connect;
  if (m_bDataSourceIsAccess) {
    dataSource = kServerDataSource;
    connect = "ODBC;DBQ=" + m_strProgramDir + "QNDB.MDB";
  } else {
    connect = "ODBC;" + host_.settings->ReadRegistry(kGeneralSection, kOdbcConnectStringValue).value_or("");
  }
  bool exists = false;
  try {
    exists = host_.databases->TableExists(dataSource, connect, "Procedures");
  } catch (...) {
    exists = false;
  }
  if (!exists) {
    host_.databases->OpenTarget(dataSource, connect);
    host_.databases->AddProcedures();
  }
  Finish(IDOK);
}

void CInstallerDlg::SetUpSqlServerDataSource(const std::string& dataSource) {
  if (m_strServerName.empty()) {
    const SqlServerParams initial{kSqlParamsDatabaseInitial, kSqlParamsLoginInitial,
                                  kSqlParamsPasswordInitial, kSqlParamsServerInitial};
    // Cancel goes on with the initial values; refused values are shown again.
    SqlServerParams shown = initial, accepted = initial;
    for (;;) {
      SqlServerParams edited = shown;
      if (host_.view->RunSqlServerParams(edited) != IDOK) break;
      if (AcceptableSqlServerParams(edited)) {
        accepted = edited;
        break;
      }
      host_.view->MessageBox(kBadSqlParameters, kSqlParamsCaption, Buttons::Ok, Icon::Exclamation);
      shown = edited;
    }
    m_strServerName = accepted.serverName;
    m_strDatabaseName = accepted.database;
    m_strLoginID = accepted.loginId;
    m_strPassword = accepted.password;
  }
  ServerAddress address;
  ParseServerName(m_strServerName, address);
  m_strConnectString = "ODBC;DSN=" + dataSource + ";UID=" + ConnectValue(m_strLoginID) +
                       ";PWD=" + ConnectValue(m_strPassword);

  journal_.ConfigDataSource(kAddSystemDsn, kSqlServerDriver,
                            AttributeList(kSqlCoreAttributes,
                                          {dataSource, address.host, address.port, m_strDatabaseName}));
  journal_.ConfigDataSource(kRemoveSystemDsn, kSqlServerDriver, OnlyDataSource(kAccountDataSource));
  journal_.ConfigDataSource(kAddSystemDsn, kSqlServerDriver,
                            AttributeList(kSqlAccountAttributes,
                                          {address.host, address.port, m_strDatabaseName}));
  WriteOdbcType(kOdbcTypeSqlServer);
  WriteSetting(kOdbcConnectStringValue, m_strConnectString.substr(5), true);
}

bool CInstallerDlg::RunSqlScript(const std::string& dataSource) {
  host_.databases->OpenTarget(dataSource, m_strConnectString);
  const std::string path = m_strProgramDir + kSchemaScriptFile;
  std::optional<std::string> script;
  if (host_.files->Exists(path)) script = host_.files->Read(path);
  if (!script) {
    host_.view->MessageBox(kMissingScript, kProgramTitle, Buttons::Ok, Icon::Stop);
    return false;
  }
  // The text ends at its first zero byte.
  host_.databases->RunScript(script->substr(0, script->find('\0')));
  return true;
}

void CInstallerDlg::ShowErrorMessage(const std::string& context, const char* errorText) {
  host_.view->MessageBox(ErrorMessageText(context, errorText), kProgramTitle, Buttons::Ok, Icon::Exclamation);
}

void CInstallerDlg::AddDefaultRecords() {
  try {
    host_.databases->AddDefaultRecords();
  } catch (const qn::odbc::Error& e) {
    ShowErrorMessage(kAddingDefaultRecords, e.DriverText().c_str());
    throw StepEnded{IDOK};
  } catch (const std::exception& e) {
    ShowErrorMessage(kAddingDefaultRecords, e.what());
    throw StepEnded{IDOK};
  }
}

AttachmentMoves CInstallerDlg::UpgradeDatabases(const std::string& oldExtension,
                                                const std::string& newExtension) {
  return host_.databases->Upgrade({m_strProgramDir, oldExtension, newExtension}, *this);
}

}  // namespace qn::dbsetup
