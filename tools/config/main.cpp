// qnconfig: edits the SMTP gateway's, the advertisements' and the WIP
// server's settings in the registry of $QN_ROOT, which the server reads when
// it starts. No command-line options.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/config/core/config_texts.h"
#include "tools/config/core/registry_settings.h"
#include "tools/config/qt/config_window.h"

namespace {

// Without a display Qt ends the process from inside its start-up; until the
// application exists its messages are held, and a fatal one becomes the
// program's one line (with the messages before it, which say why) and exit
// code 1 instead of an abort.
std::string g_heldMessages;

void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    g_heldMessages += (g_heldMessages.empty() ? "" : "; ") + message.toStdString();
    return;
  }
  std::string why = g_heldMessages.empty() ? message.toStdString() : g_heldMessages;
  for (char& c : why)
    if (c == '\n' || c == '\r') c = ' ';
  std::fprintf(stderr, "qnconfig: cannot open a window: %s\n", why.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

class CConfigApp {
 public:
  CConfigApp(int& argc, char** argv) : app_(argc, argv) {
    qInstallMessageHandler(nullptr);
    if (!g_heldMessages.empty()) std::fprintf(stderr, "%s\n", g_heldMessages.c_str());
    app_.setApplicationName(QString::fromUtf8(qn::config::texts::kSheetCaption));
  }
  // Runs the sheet modally; the program ends when it closes.
  bool InitInstance() {
    qn::config::RegistrySettings settings;
    qn::config::ConfigSheetWindow sheet(settings);
    sheet.exec();
    return false;
  }

 private:
  QApplication app_;
};

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(StartupMessages);
  CConfigApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
