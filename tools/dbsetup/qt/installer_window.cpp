#include "tools/dbsetup/qt/installer_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/qt/installer_dialogs.h"

namespace qn::dbsetup {

namespace {

// The system's texts are 8-bit; a lone "\r" is its line break.
QString Shown(const std::string& text) {
  QString shown = QString::fromLocal8Bit(text.c_str(), static_cast<int>(text.size()));
  shown.replace("\r\n", "\n");
  shown.replace('\r', '\n');
  return shown;
}

// Repaints closer together than this add nothing the eye sees.
constexpr qint64 kRepaintMs = 40;

}  // namespace

InstallerWindow::InstallerWindow(InstallerHost host, QWidget* parent) : QDialog(parent) {
  setObjectName("102");
  setWindowTitle(QString::fromUtf8(texts::kMainCaption));
  setWindowIcon(ProgramIcon());
  auto* layout = new QVBoxLayout(this);
  auto* wait = new QLabel(QString::fromUtf8(texts::kMainPleaseWait), this);
  wait->setWordWrap(true);
  status_ = new QLabel(QString::fromUtf8(texts::kMainStatusInitial), this);
  detail_ = new QLabel(QString::fromUtf8(texts::kMainDetailedStatusInitial), this);
  status_->setObjectName("1000");
  detail_->setObjectName("1002");
  for (QLabel* label : {status_, detail_}) {
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    label->setMinimumHeight(label->sizeHint().height() + 6);
  }
  layout->addWidget(wait);
  layout->addSpacing(8);
  layout->addWidget(status_);
  layout->addWidget(detail_);
  setMinimumWidth(480);
  host.view = this;
  logic_ = std::make_unique<CInstallerDlg>(host);
  sincePaint_.start();
}

InstallerWindow::~InstallerWindow() = default;

void InstallerWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  logic_->OnInitDialog();
}

void InstallerWindow::ShowStatus(const std::string& status, const std::string& detail) {
  const QString newStatus = Shown(status), newDetail = Shown(detail);
  const bool stepChanged = newStatus != status_->text();
  status_->setText(newStatus);
  detail_->setText(newDetail);
  if (!isVisible() || (!stepChanged && sincePaint_.elapsed() < kRepaintMs)) return;
  // No events are handled while a step runs: paint now.
  status_->repaint();
  detail_->repaint();
  sincePaint_.restart();
}

void InstallerWindow::PostNextStep() {
  QTimer::singleShot(0, this, [this] { RunStep(); });
}

void InstallerWindow::RunStep() {
  if (endResult_ || closeAsked_) return;
  inStep_ = true;
  logic_->OnNextStep();
  inStep_ = false;
  if (endResult_) done(*endResult_);
  else if (closeAsked_) done(IDCANCEL);
}

void InstallerWindow::EndDialog(int result) {
  endResult_ = result;
  if (!inStep_) done(result);
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
  if (inStep_) {
    closeAsked_ = true;
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void InstallerWindow::reject() {
  if (inStep_) {
    closeAsked_ = true;
    return;
  }
  done(IDCANCEL);
}

void InstallerWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QString::fromUtf8(texts::kAboutMenuItem), this, [this] { ShowAbout(); });
  menu.exec(event->globalPos());
}

void InstallerWindow::ShowAbout() {
  CAboutDlg about(this);
  Modal(about);
}

int InstallerWindow::Modal(QDialog& dialog) {
  if (beforeModal) beforeModal(dialog);
  return dialog.exec();
}

int InstallerWindow::MessageBox(const std::string& text, const std::string& caption, Buttons buttons,
                                Icon icon) {
  QMessageBox box(this);
  box.setObjectName("message");
  box.setWindowTitle(Shown(caption));
  box.setText(Shown(text));
  switch (icon) {
    case Icon::Stop: box.setIcon(QMessageBox::Critical); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::None: break;
  }
  switch (buttons) {
    case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case Buttons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case Buttons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  Modal(box);
  QAbstractButton* clicked = box.clickedButton();
  switch (clicked ? box.standardButton(clicked) : QMessageBox::NoButton) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    case QMessageBox::Ok: return IDOK;
    default: return buttons == Buttons::Ok ? IDOK : buttons == Buttons::YesNo ? IDNO : IDCANCEL;
  }
}

int InstallerWindow::RunDriverChoice() {
  CDriverChoiceDlg dialog(this);
  if (beforeModal) beforeModal(dialog);
  return dialog.Run();
}

int InstallerWindow::RunSqlServerParams(SqlServerParams& values) {
  CSqlServerParamsDlg dialog(this);
  if (beforeModal) beforeModal(dialog);
  return dialog.Run(values);
}

void InstallerWindow::Pause(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

}  // namespace qn::dbsetup
