// What the installer's steps need from around them, as small interfaces:
// the status dialog and its questions, the ODBC administration, settings
// (registry and profile files), files, the databases and the service
// control. The program has real ones; the tests have fakes.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qn::dbsetup {

// Dialog and message box results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
// Buttons of the driver-choice dialog.
inline constexpr int kAccessButton = 1001;
inline constexpr int kSqlServerButton = 1002;

enum class Buttons { Ok, YesNo, YesNoCancel };
enum class Icon { None, Stop, Question, Exclamation };

// The four edits of the SQL Server parameters dialog.
struct SqlServerParams {
  std::string database;
  std::string loginId;
  std::string password;
  std::string serverName;
};

// The status dialog as the steps see it.
class IInstallerView {
 public:
  virtual ~IInstallerView() = default;
  // Puts the status and the detailed status into controls 1000 and 1002 and
  // repaints them at once, even while a step runs (the view may skip
  // repaints that come faster than the eye follows).
  virtual void ShowStatus(const std::string& status, const std::string& detail) = 0;
  // Queues one call of CInstallerDlg::OnNextStep after the current handler.
  virtual void PostNextStep() = 0;
  // Ends the dialog once the running step returns.
  virtual void EndDialog(int result) = 0;
  virtual int MessageBox(const std::string& text, const std::string& caption, Buttons buttons,
                         Icon icon) = 0;
  // Dialog 129: kAccessButton, kSqlServerButton or IDCANCEL.
  virtual int RunDriverChoice() = 0;
  // Dialog 130 on `values`; OK copies the edits back. IDOK or IDCANCEL.
  virtual int RunSqlServerParams(SqlServerParams& values) = 0;
  virtual void Pause(int milliseconds) = 0;
};

// Requests of SQLConfigDataSource, by their published codes.
inline constexpr int kRemoveDsn = 3;
inline constexpr int kAddSystemDsn = 4;
inline constexpr int kRemoveSystemDsn = 6;

struct DataSource {
  std::string name;
  std::string driver;
};

// A data source's whole definition (its section and its entry in
// [ODBC Data Sources]), to put back as it was.
struct DataSourceState {
  std::string name;
  bool exists = false;
  std::vector<std::pair<std::string, std::string>> attributes;  // Driver= first
  std::string listed;  // its [ODBC Data Sources] entry, "" for none
};

class IOdbcAdmin {
 public:
  virtual ~IOdbcAdmin() = default;
  // SQLDataSources from the first to the last (or a failing) one; false for
  // an invalid handle.
  virtual bool DataSources(std::vector<DataSource>& out) = 0;
  // SQLDrivers the same way.
  virtual bool Drivers(std::vector<std::string>& out) = 0;
  // SQLConfigDataSource with an attribute list (each ended by a zero byte,
  // the list by another); adding also lists the data source in
  // [ODBC Data Sources], removing takes it out.
  virtual bool ConfigDataSource(int request, const std::string& driver,
                                const std::string& attributes) = 0;
  // The entry of `name` in [ODBC Data Sources] of odbc.ini ("ODBC.INI").
  virtual std::string ListedDataSource(const std::string& name) = 0;
  virtual DataSourceState SaveDataSource(const std::string& name) = 0;
  virtual void RestoreDataSource(const DataSourceState& state) = 0;
};

// Registry values under "SOFTWARE\Brenlo\Quillnet Server" and profile
// files. nullopt reads as absent and writes as a deletion. `secret` values
// (a password inside) leave their file readable by its owner only.
class ISettings {
 public:
  virtual ~ISettings() = default;
  virtual std::optional<std::string> ReadRegistry(const std::string& section,
                                                  const std::string& name) = 0;
  virtual void WriteRegistry(const std::string& section, const std::string& name,
                             const std::optional<std::string>& value, bool secret) = 0;
  virtual std::optional<std::string> ReadProfile(const std::string& file, const std::string& section,
                                                 const std::string& key) = 0;
  virtual void WriteProfile(const std::string& file, const std::string& section,
                            const std::string& key, const std::optional<std::string>& value,
                            bool secret) = 0;
};

// A file operation that failed; the text names the file and the reason.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  virtual bool Exists(const std::string& path) = 0;
  // Copies in blocks of 32,768 bytes into a new file (mode 0600) or over an
  // existing one. Throws FileError.
  virtual void Copy(const std::string& from, const std::string& to) = 0;
  // With noReplace an existing `to` is an error. Throws FileError.
  virtual void Rename(const std::string& from, const std::string& to, bool noReplace) = 0;
  // Throws FileError.
  virtual void Remove(const std::string& path) = 0;
  // The whole file; nullopt when it cannot be read.
  virtual std::optional<std::string> Read(const std::string& path) = 0;
  // Another process holding one of the files open: its id, with the file
  // in `which`; 0 for none.
  virtual int OpenedByOther(const std::vector<std::string>& paths, std::string& which) = 0;
  // A readable database file (the SQLite header).
  virtual bool IsDatabaseFile(const std::string& path) = 0;
};

// Where the upgrade tells how far it is.
class IUpgradeProgress {
 public:
  virtual ~IUpgradeProgress() = default;
  // Before each copied row (trees: before each parent): row `number` of
  // `total` of the table shown as `name`.
  virtual void Row(const char* name, long number, long total) = 0;
};

struct UpgradeRequest {
  std::string programDir;    // with its trailing slash
  std::string oldExtension;  // "MDB"
  std::string newExtension;  // "TMP", or empty: the open target database
};

// Mail attachments to rename after an upgrade: old message number to new.
using AttachmentMoves = std::vector<std::pair<int32_t, int32_t>>;

// The databases. One target database at a time is open for the schema work
// of a run, inside one transaction that ends with Commit or Rollback.
// Failures throw CDBException.
class IDatabaseWork {
 public:
  virtual ~IDatabaseWork() = default;
  // The catalogue lists `table` (letter case aside).
  virtual bool TableExists(const std::string& dataSource, const std::string& connect,
                           const std::string& table) = 0;
  virtual void OpenTarget(const std::string& dataSource, const std::string& connect) = 0;
  virtual void RunScript(const std::string& script) = 0;
  virtual void AddDefaultRecords() = 0;
  // The table Procedures and the column Databases.ODBCConnectString as the
  // schema scripts have them, where missing.
  virtual void AddProcedures() = 0;
  // Copies the version 1.0 files into the current schema: into new files of
  // the request's extension, or into the open target. Leaves the old files
  // unchanged and the attachments to the caller.
  virtual AttachmentMoves Upgrade(const UpgradeRequest& request, IUpgradeProgress& progress) = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
};

class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  virtual bool StartServiceIfNecessary(const std::string& name) = 0;
};

// Everything the status dialog works with.
struct InstallerHost {
  IInstallerView* view = nullptr;
  IOdbcAdmin* odbc = nullptr;
  ISettings* settings = nullptr;
  IFileSystem* files = nullptr;
  IDatabaseWork* databases = nullptr;
  IServiceControl* services = nullptr;
  std::string programDir;     // with its trailing slash
  std::string serverIniFile;  // "QNSVR.INI" of the configuration directory
};

}  // namespace qn::dbsetup
