// The installer's small dialogs: the driver choice (129), the SQL Server
// parameters (130) and About (100), and the program icon (128).
#pragma once
#include <QDialog>
#include <QIcon>

#include "tools/dbsetup/core/installer_host.h"

class QLineEdit;

namespace qn::dbsetup {

// Icon 128, drawn: a database drum.
QIcon ProgramIcon();

// Ends with kAccessButton, kSqlServerButton or IDCANCEL.
class CDriverChoiceDlg : public QDialog {
 public:
  explicit CDriverChoiceDlg(QWidget* parent = nullptr);
  int Run();
};

// The four edits bound to the members; OK copies them back.
class CSqlServerParamsDlg : public QDialog {
 public:
  explicit CSqlServerParamsDlg(QWidget* parent = nullptr);
  // Shows `values`; IDOK (with the edits in `values`) or IDCANCEL.
  int Run(SqlServerParams& values);

  std::string m_strDatabase;
  std::string m_strLoginID;
  std::string m_strPassword;
  std::string m_strServerName;

 private:
  void ToControls();
  void FromControls();

  QLineEdit* database_;
  QLineEdit* login_;
  QLineEdit* password_;
  QLineEdit* server_;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace qn::dbsetup
