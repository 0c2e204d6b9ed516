#include "tools/manager/qt/manager_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "tools/manager/core/manager_texts.h"
#include "tools/manager/core/shutdown_dlgs.h"
#include "tools/manager/qt/animation_wnd.h"
#include "tools/manager/qt/images.h"
#include "tools/manager/qt/shutdown_dialog.h"
#include "tools/manager/qt/status_dialog.h"
#include "tools/manager/qt/tip_button.h"
#include "tools/manager/qt/tip_window.h"

namespace qn::manager {

namespace {

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// The open-file dialog's filter, "name | pattern | name | pattern ||", as Qt
// takes it; "*.*" means every file, with or without a dot.
QStringList NameFilters(const char* text) {
  QStringList filters;
  const QStringList parts = QString::fromUtf8(text).split('|');
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString name = parts[i].trimmed();
    const QString pattern = parts[i + 1].trimmed();
    if (name.isEmpty()) break;
    const int paren = name.indexOf(" (");
    if (paren >= 0) name.truncate(paren);
    filters << name + " (" + (pattern == "*.*" ? QString("*") : pattern) + ")";
  }
  return filters;
}

const char* LookName(StartStopLook look) {
  switch (look) {
    case StartStopLook::Running: return "running";
    case StartStopLook::Transitional: return "transitional";
    case StartStopLook::Stopped: break;
  }
  return "stopped";
}

}  // namespace

CManagerWindow::CManagerWindow(ManagerHost host)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      timers_(this, [this](int id) { frame_->OnTimer(id); }) {
  setObjectName("main");
  setWindowIcon(ProgramIcon());
  setFixedSize(kClientWidth, kClientHeight);
  QPalette background = palette();
  background.setColor(QPalette::Window, QColor(192, 192, 192));
  setPalette(background);
  setAutoFillBackground(true);
  setMouseTracking(true);

  tip_ = std::make_unique<CTipWnd>();
  tip_->setAttribute(Qt::WA_QuitOnClose, false);
  countdown_ = new CStatusDialog(136, texts::kWillShutDown, 1046, this);
  wait_ = new CStatusDialog(144, nullptr, 1006, this);
  animation_ = new CAnimationWnd(QRect(kAnimationLeft, kAnimationTop, kAnimationRight - kAnimationLeft,
                                       kAnimationBottom - kAnimationTop),
                                 this, kAnimationId);
  animation_->LoadFrames(1, kAnimationFrames, kAnimationIntervalMs);

  host.view = this;
  host.timers = &timers_;
  frame_ = std::make_unique<CManagerFrame>(
      host, CManagerFrame::DialogViews{countdown_, &countdown_->Timers(), wait_, &wait_->Timers()});
  CShutdownDlg& shutdown = frame_->ShutdownDlg();
  countdown_->onTimer = [&shutdown](int id) { shutdown.Countdown().OnTimer(id); };
  countdown_->onCancel = [&shutdown] { shutdown.Countdown().OnCancel(); };
  wait_->onTimer = [&shutdown](int id) { shutdown.Wait().OnTimer(id); };
  wait_->onCancel = [&shutdown] { shutdown.Wait().OnCancel(); };

  const Point stored = frame_->StoredPosition();
  ScreenArea area;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect r = screen->geometry();
    area = ScreenArea{r.x(), r.y(), r.width(), r.height()};
  }
  // Before the window is shown its frame is not known: the client area is
  // kept on the screen.
  const Point place = PlaceClientArea(stored.x, stored.y, Margins{}, area);
  setGeometry(place.x, place.y, kClientWidth, kClientHeight);

  for (const ButtonEntry& entry : Buttons()) {
    auto* button = new CTipButton(entry.command, this);
    button->setGeometry(entry.x, entry.y, entry.width, entry.height);
    button->SetTip(QString::fromUtf8(entry.tip), tip_.get());
    if (entry.command != kCmdStartStop) {
      const QString image = QString::fromUtf8(entry.image);
      button->SetBitmaps(LoadBitmap(image + "-up"), LoadBitmap(image + "-pressed"),
                         entry.hasDisabledImage ? LoadBitmap(image + "-disabled") : QImage());
    }
    const int command = entry.command;
    connect(button, &QAbstractButton::clicked, this, [this, command] { frame_->OnCommand(command); });
    buttons_[entry.command] = button;
  }
  SetStartStopLook(StartStopLook::Stopped);
  frame_->OnCreate();
}

CManagerWindow::~CManagerWindow() {
  if (!destroyed_) frame_->OnDestroy(std::nullopt);
  // The buttons outlive the members: the base class closes the window, and
  // the focus leaving a button must not reach the tip any more.
  for (auto& [command, button] : buttons_) button->SetTip(QString(), nullptr);
}

CTipButton* CManagerWindow::Button(int command) const {
  auto found = buttons_.find(command);
  return found == buttons_.end() ? nullptr : found->second;
}

void CManagerWindow::SetTitle(const std::string& title) { setWindowTitle(Q(title)); }

void CManagerWindow::SetStartStopLook(StartStopLook look) {
  std::array<QImage, 3>& images = looks_[static_cast<int>(look)];
  if (images[0].isNull()) {
    const QString name = QString("startstop-") + LookName(look);
    images = {LoadBitmap(name + "-up"), LoadBitmap(name + "-pressed"), LoadBitmap(name + "-disabled")};
  }
  Button(kCmdStartStop)->SetBitmaps(images[0], images[1], images[2]);
}

void CManagerWindow::EnableButton(int command, bool enabled) {
  if (CTipButton* button = Button(command)) button->setEnabled(enabled);
}

void CManagerWindow::RedrawNow() {
  if (isVisible()) Button(kCmdStartStop)->repaint();
}

void CManagerWindow::StartAnimation() { animation_->Start(); }

void CManagerWindow::StopAnimation() { animation_->Stop(); }

int CManagerWindow::Modal(QDialog& dialog) {
  if (beforeModal) beforeModal(dialog);
  return dialog.exec();
}

void CManagerWindow::MessageBox(const std::string& text, Icon icon) {
  QMessageBox box(icon == Icon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                  QString::fromUtf8(texts::kBaseTitle), Q(text), QMessageBox::Ok, this);
  box.setObjectName("message");
  Modal(box);
}

void CManagerWindow::BeginCursor(Cursor cursor) {
  QGuiApplication::setOverrideCursor(cursor == Cursor::Wait ? Qt::WaitCursor : Qt::BusyCursor);
}

void CManagerWindow::EndCursor() { QGuiApplication::restoreOverrideCursor(); }

bool CManagerWindow::RunShutdownDialog() {
  CShutdownDialog dialog(frame_->ShutdownDlg(), this, beforeModal);
  return Modal(dialog) == QDialog::Accepted;
}

void CManagerWindow::RestoreMainWindow() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

std::optional<std::string> CManagerWindow::AskClientProgram(const std::string& initialDir) {
  QFileDialog dialog(this);
  dialog.setObjectName("open");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setDirectory(Q(initialDir));
  dialog.setNameFilters(NameFilters(texts::kClientDialogFilter));
  dialog.setDefaultSuffix(QString::fromUtf8(texts::kClientDialogExtension).remove("*."));
  dialog.selectFile(QString::fromUtf8(texts::kClientDialogName));
  if (Modal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toLocal8Bit().toStdString();
}

void CManagerWindow::CloseMainWindow() { close(); }

void CManagerWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (!destroyed_) frame_->OnMove(geometry().x(), geometry().y());
}

void CManagerWindow::closeEvent(QCloseEvent* event) {
  if (!destroyed_) {
    destroyed_ = true;
    frame_->OnDestroy(Point{geometry().x(), geometry().y()});
    tip_->hide();
    countdown_->hide();
    wait_->hide();
  }
  event->accept();
}

void CManagerWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) tip_->hide();
  QWidget::changeEvent(event);
}

void CManagerWindow::mouseMoveEvent(QMouseEvent* event) {
  tip_->hide();
  QWidget::mouseMoveEvent(event);
}

void CManagerWindow::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (painted_) return;
  painted_ = true;
  if (onFirstPaint) QTimer::singleShot(0, this, onFirstPaint);
}

}  // namespace qn::manager
