// qndbup32: creates or finds the data sources and databases of the Quillnet
// server, and upgrades version 1.0 databases. No command-line options.
#include <QApplication>

#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/local_host.h"
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
    qn::dbsetup::LocalInstallation installation;
    qn::dbsetup::InstallerWindow dialog(installation.Host(nullptr));
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
