// The ODBC administration of this machine: data sources and driver entries
// in $QN_ROOT/etc/quillnet/odbc/, through unixODBC.
#pragma once
#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

class LocalOdbcAdmin : public IOdbcAdmin {
 public:
  // Points the driver manager at the installation's directory and registers
  // the entry of each of our two drivers whose Debian library is present
  // (and takes out the entry of one whose library is gone). False when the
  // directory cannot be written.
  static bool Prepare();

  bool DataSources(std::vector<DataSource>& out) override;
  bool Drivers(std::vector<std::string>& out) override;
  bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes) override;
  std::string ListedDataSource(const std::string& name) override;
  DataSourceState SaveDataSource(const std::string& name) override;
  void RestoreDataSource(const DataSourceState& state) override;
};

}  // namespace qn::dbsetup
