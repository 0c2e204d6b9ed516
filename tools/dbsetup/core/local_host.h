// The installer's surroundings on this machine: files in the program
// directory, settings in the registry store and profile files, and the
// service control stand-in.
#pragma once
#include <string>

#include "tools/dbsetup/core/installer_databases.h"
#include "tools/dbsetup/core/installer_host.h"
#include "tools/dbsetup/core/odbc_admin.h"

namespace qn::dbsetup {

class LocalFileSystem : public IFileSystem {
 public:
  bool Exists(const std::string& path) override;
  void Copy(const std::string& from, const std::string& to) override;
  void Rename(const std::string& from, const std::string& to, bool noReplace) override;
  void Remove(const std::string& path) override;
  std::optional<std::string> Read(const std::string& path) override;
  int OpenedByOther(const std::vector<std::string>& paths, std::string& which) override;
  bool IsDatabaseFile(const std::string& path) override;
};

class LocalSettings : public ISettings {
 public:
  std::optional<std::string> ReadRegistry(const std::string& section, const std::string& name) override;
  void WriteRegistry(const std::string& section, const std::string& name,
                     const std::optional<std::string>& value, bool secret) override;
  std::optional<std::string> ReadProfile(const std::string& file, const std::string& section,
                                         const std::string& key) override;
  void WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                    const std::optional<std::string>& value, bool secret) override;
};

class LocalServiceControl : public IServiceControl {
 public:
  bool StartServiceIfNecessary(const std::string& name) override;
};

// All of this machine's surroundings of one run, under $QN_ROOT: the ODBC
// set-up prepared, the program directory made.
struct LocalInstallation {
  LocalInstallation();
  // The host for the steps, with `view` as their dialog.
  InstallerHost Host(IInstallerView* view);

  std::string programDir;  // with its trailing slash
  LocalOdbcAdmin odbc;
  LocalSettings settings;
  LocalFileSystem files;
  OdbcDatabaseWork databases;
  LocalServiceControl services;
};

}  // namespace qn::dbsetup
