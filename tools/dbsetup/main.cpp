// qndbup32: creates or finds the data sources and databases of the Quillnet
// server, and upgrades version 1.0 databases. No command-line options.
#include <QApplication>

#include "platform/paths.h"
#include "tools/dbsetup/core/installer_databases.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/local_host.h"
#include "tools/dbsetup/core/odbc_admin.h"
#include "tools/dbsetup/qt/installer_window.h"

namespace {

class CInstallerApp {
 public:
  CInstallerApp(int& argc, char** argv) : app_(argc, argv) {
    app_.setApplicationName(QString::fromUtf8(qn::dbsetup::texts::kProgramTitle));
  }
  // Shows the status dialog modally; the program ends when it closes,
  // whatever its result.
  bool InitInstance() {
    using namespace qn::dbsetup;
    LocalOdbcAdmin::Prepare();
    const std::string programDir = qn::paths::ProgramDir().string() + "/";
    qn::paths::EnsureDir(qn::paths::ProgramDir());
    LocalOdbcAdmin odbc;
    LocalSettings settings;
    LocalFileSystem files;
    OdbcDatabaseWork databases(programDir);
    LocalServiceControl services;
    InstallerHost host;
    host.odbc = &odbc;
    host.settings = &settings;
    host.files = &files;
    host.databases = &databases;
    host.services = &services;
    host.programDir = programDir;
    host.serverIniFile = (qn::paths::ConfigDir() / texts::kServerIniFile).string();
    InstallerWindow dialog(host);
    dialog.exec();
    return false;
  }

 private:
  QApplication app_;
};

}  // namespace

int main(int argc, char** argv) {
  CInstallerApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
