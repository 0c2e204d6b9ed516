// The main status dialog (102): the step machine's view. Steps arrive as
// queued calls; while one runs no events are handled, but the status lines
// repaint at once. A close asked for during a step takes effect when the
// step ends.
#pragma once
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <functional>
#include <memory>
#include <optional>

#include "tools/dbsetup/core/installer_dlg.h"

class QLabel;

namespace qn::dbsetup {

class InstallerWindow : public QDialog, public IInstallerView {
 public:
  // `host` without its view: the window is the view.
  explicit InstallerWindow(InstallerHost host, QWidget* parent = nullptr);
  ~InstallerWindow() override;

  CInstallerDlg& Logic() { return *logic_; }
  // Called with each dialog of the window before it runs modally (tests
  // answer them); the dialog's own result stands when it returns.
  std::function<void(QDialog&)> beforeModal;

  void ShowStatus(const std::string& status, const std::string& detail) override;
  void PostNextStep() override;
  void EndDialog(int result) override;
  int MessageBox(const std::string& text, const std::string& caption, Buttons buttons, Icon icon) override;
  int RunDriverChoice() override;
  int RunSqlServerParams(SqlServerParams& values) override;
  void Pause(int milliseconds) override;
  void ShowAbout();
  // The close box and Escape: at once between steps, at a step's end during
  // one.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void RunStep();
  int Modal(QDialog& dialog);

  std::unique_ptr<CInstallerDlg> logic_;
  QLabel* status_;
  QLabel* detail_;
  QElapsedTimer sincePaint_;
  bool started_ = false;
  bool inStep_ = false;
  bool closeAsked_ = false;
  std::optional<int> endResult_;
};

}  // namespace qn::dbsetup
