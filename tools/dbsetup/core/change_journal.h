// Every change a run of the installer makes outside the databases (data
// sources, settings, files), with the way back: a failed run is undone in
// reverse order, so the server finds everything as before and a rerun
// starts from the same place. Files a change would destroy are set aside
// under a name of their own and deleted only when the run succeeds.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

// The companions of an SQLite file that belong to it ("-wal", "-shm",
// "-journal"); they move and go with their file.
extern const char* const kSideFileSuffixes[3];

class ChangeJournal {
 public:
  ChangeJournal(IFileSystem& files, IOdbcAdmin& odbc, ISettings& settings)
      : files_(files), odbc_(odbc), settings_(settings) {}
  ~ChangeJournal() = default;
  ChangeJournal(const ChangeJournal&) = delete;
  ChangeJournal& operator=(const ChangeJournal&) = delete;

  // A copy of `from` made under a temporary name beside `to`, then renamed
  // to `to`; an existing `to` is set aside. Throws FileError.
  void CopyFile(const std::string& from, const std::string& to);
  // Renames; an existing `to` is set aside. Throws FileError.
  void MoveFile(const std::string& from, const std::string& to);
  // The same for a database file and its side files: side files of `to`
  // that `from` does not replace are set aside too, so none of them is
  // taken for the new file's.
  void MoveDatabase(const std::string& from, const std::string& to);
  // Sets the file and its side files aside.
  void RemoveDatabase(const std::string& path);

  // SQLConfigDataSource, with the data source's former definition kept.
  bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes);
  void WriteRegistry(const std::string& section, const std::string& name, const std::string& value,
                     bool secret = false);
  void WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value, bool secret = false);

  // The run succeeded: what was set aside is deleted (failures ignored).
  void Commit();
  // The run failed: every change is taken back, last first; a step of the
  // way back that fails does not stop the others.
  void Undo();
  bool Empty() const { return undo_.empty(); }

 private:
  // A free name beside `path` with the given mark ("QNS", "QNB").
  std::string FreeName(const std::string& path, const char* mark);
  void SetAside(const std::string& path);

  IFileSystem& files_;
  IOdbcAdmin& odbc_;
  ISettings& settings_;
  std::vector<std::function<void()>> undo_;
  std::vector<std::string> setAside_;
  unsigned counter_ = 0;
};

// The data source an attribute list names ("DSN=...").
std::string DataSourceOfAttributes(const std::string& attributes);

}  // namespace qn::dbsetup
