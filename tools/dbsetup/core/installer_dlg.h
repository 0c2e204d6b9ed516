// The main status dialog's logic: the chain of six steps that finds or makes
// the "Quillnet Server" data source, creates empty databases (SQLite files
// from their templates or one PostgreSQL database from the schema script and
// the seed rows), upgrades version 1.0 files, and adds what later versions
// added. Each step ends by naming the next one, which the view runs after
// the current handler (so the new status text is painted first), or by
// closing the dialog. The window itself is the view (IInstallerView).
//
// A run is all or nothing: a step that fails shows its error and every
// change of the run (data sources, settings, files, databases) is taken
// back, so the server keeps its data and a rerun redoes the work.
#pragma once
#include <string>

#include "tools/dbsetup/core/change_journal.h"
#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

class CInstallerDlg : public IUpgradeProgress {
 public:
  explicit CInstallerDlg(const InstallerHost& host);
  ~CInstallerDlg() override;
  CInstallerDlg(const CInstallerDlg&) = delete;
  CInstallerDlg& operator=(const CInstallerDlg&) = delete;

  // Starts the chain: SetStep(0).
  void OnInitDialog();
  // Stores the step, shows its text and queues OnNextStep.
  void SetStep(int step);
  // Performs the current step; a step above 5 does nothing.
  void OnNextStep();

  // The SQL Server parameters (asked once per run), the connect string, the
  // data sources on the PostgreSQL driver and the settings that name them.
  void SetUpSqlServerDataSource(const std::string& dataSource);
  // Opens the target database and runs "QNDATA.SQL" on it. False (after its
  // message) when the script is missing.
  bool RunSqlScript(const std::string& dataSource);
  // The seed rows, in the target's transaction; a failure is shown with
  // ShowErrorMessage and ends the run, taken back.
  void AddDefaultRecords();
  AttachmentMoves UpgradeDatabases(const std::string& oldExtension, const std::string& newExtension);
  void CopyDatabaseFile(const std::string& from, const std::string& to);

  void Row(const char* name, long number, long total) override;

  int Step() const { return m_nStep; }
  const std::string& StatusText() const { return m_strStatus; }
  const std::string& DetailedStatusText();
  const std::string& ConnectString() const { return m_strConnectString; }

 private:
  void Step0Search();
  void Step1Create();
  void Step2EmptyAccess();
  void Step3EmptySqlServer();
  void Step4ExistingAccess();
  void Step5Procedures();
  void UpgradeIntoSqlServer();
  void UpgradeIntoAccessFiles();

  std::string AccessAttributes(const char* format) const;
  void WriteOdbcType(const char* type);
  void WriteSetting(const char* name, const std::string& value, bool secret);
  // Refuses while another program holds a database file of the stems with
  // one of these extensions open.
  void CheckFilesFree(std::initializer_list<const char*> extensions);
  void MoveAttachments(const AttachmentMoves& moves);
  std::string FilePath(const char* stem, const std::string& extension) const;
  void PushStatus();
  // The generic error box of the seeding.
  void ShowErrorMessage(const std::string& context, const char* errorText);
  // The run ends well: the databases' work and the journal are kept.
  void Finish(int result);
  // The run failed: everything is taken back.
  void RollBack();

  InstallerHost host_;
  ChangeJournal journal_;
  std::string m_strProgramDir;
  bool m_bAccessDriverInstalled = false;
  bool m_bSqlServerDriverInstalled = false;
  bool m_bDataSourceFound = false;
  bool m_bDataSourceIsAccess = false;
  std::string m_strServerName;
  std::string m_strDatabaseName;
  std::string m_strConnectString;
  std::string m_strLoginID;
  std::string m_strPassword;
  std::string m_strStatus;
  std::string m_strDetailedStatus;
  int m_nStep = 0;
  // The last progress row, formatted into the detailed status on demand.
  const char* progressName_ = nullptr;
  long progressNumber_ = 0;
  long progressTotal_ = 0;
  bool ended_ = false;
};

// "Error: " + context + " (" + the error's text (at most 128 characters) +
// ")", or " (an unknown error has occured)" without a text.
std::string ErrorMessageText(const std::string& context, const char* errorText);

}  // namespace qn::dbsetup
