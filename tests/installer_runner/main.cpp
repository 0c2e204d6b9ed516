// qndbup32_test: the installer's steps as qndbup32 runs them, on this
// machine's data sources, settings, files and databases, with the questions
// answered from the command line, for tests and benches that need a process
// of its own per installation (the ODBC driver manager keeps what it learnt
// of a data source for the life of a process).
//   qndbup32_test [--choice 1001|1002|2] [--sql-setup yes|no]
//                 [--upgrade yes|no|cancel] [--params DB<TAB>LOGIN<TAB>PASSWORD<TAB>SERVER]
// Prints "status TEXT", "box TEXT" (line breaks as \n), "detail TEXT",
// "ended N" and "seconds S", one a line.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "tools/dbsetup/core/installer_dlg.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/core/local_host.h"

namespace {

using namespace qn::dbsetup;

std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

int Answer(const char* text) {
  if (std::strcmp(text, "yes") == 0) return IDYES;
  if (std::strcmp(text, "no") == 0) return IDNO;
  return IDCANCEL;
}

class ScriptedView : public IInstallerView {
 public:
  void ShowStatus(const std::string& status, const std::string& detail) override {
    if (status != lastStatus) std::printf("status %s\n", OneLine(status).c_str());
    lastStatus = status;
    detail_ = detail;
  }
  void PostNextStep() override { ++posted; }
  void EndDialog(int result) override { ended = result; }
  int MessageBox(const std::string& text, const std::string&, Buttons, Icon) override {
    std::printf("box %s\n", OneLine(text).c_str());
    if (text == texts::kSqlSetupQuestion) return sqlSetup;
    if (text == texts::kUpgradeToSqlQuestion) return upgrade;
    return IDOK;
  }
  int RunDriverChoice() override { return choice; }
  int RunSqlServerParams(SqlServerParams& values) override {
    if (!params) return IDCANCEL;
    values = *params;
    return IDOK;
  }
  void Pause(int) override {}

  int choice = IDCANCEL;
  int sqlSetup = IDNO;
  int upgrade = IDCANCEL;
  std::optional<SqlServerParams> params;
  int posted = 0;
  std::optional<int> ended;
  std::string lastStatus, detail_;
};

}  // namespace

int main(int argc, char** argv) {
  ScriptedView view;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--choice") view.choice = std::atoi(argv[i + 1]);
    else if (option == "--sql-setup") view.sqlSetup = Answer(argv[i + 1]);
    else if (option == "--upgrade") view.upgrade = Answer(argv[i + 1]);
    else if (option == "--params") {
      std::string fields[4];
      const std::string text = argv[i + 1];
      size_t start = 0;
      for (int f = 0; f < 4; ++f) {
        const size_t tab = text.find('\t', start);
        fields[f] = text.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        start = tab == std::string::npos ? text.size() : tab + 1;
      }
      view.params = SqlServerParams{fields[0], fields[1], fields[2], fields[3]};
    }
  }
  const auto began = std::chrono::steady_clock::now();
  LocalInstallation installation;
  const InstallerHost host = installation.Host(&view);
  {
    CInstallerDlg dialog(host);
    dialog.OnInitDialog();
    while (view.posted > 0 && !view.ended) {
      --view.posted;
      dialog.OnNextStep();
    }
    std::printf("detail %s\n", OneLine(dialog.DetailedStatusText()).c_str());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("ended %d\nseconds %.3f\n", view.ended.value_or(0), seconds);
  return 0;
}
