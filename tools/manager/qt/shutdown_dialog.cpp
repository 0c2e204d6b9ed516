#include "tools/manager/qt/shutdown_dialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QFocusEvent>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "tools/manager/core/manager_texts.h"
#include "tools/manager/qt/status_dialog.h"

namespace qn::manager {

namespace {

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
QString Q(const char* text) { return QString::fromUtf8(text); }

}  // namespace

CShutdownDialog::CShutdownDialog(CShutdownDlg& logic, QWidget* parent, std::function<void(QDialog&)> beforeModal)
    : QDialog(parent), logic_(logic), beforeModal_(std::move(beforeModal)) {
  setObjectName("143");
  setWindowTitle(Q(texts::kShutdownCaption));
  auto* layout = new QVBoxLayout(this);

  auto* how = new QGroupBox(Q(texts::kShutdownGroup), this);
  auto* howLayout = new QVBoxLayout(how);
  const char* labels[] = {texts::kRadioNow, texts::kRadioIn, texts::kRadioLogoff};
  for (int i = 0; i < 3; ++i) {
    choices_[i] = new QRadioButton(Q(labels[i]), how);
    choices_[i]->setObjectName(QString::number(1000 + i));
    connect(choices_[i], &QRadioButton::clicked, this, [this, i] { OnChoice(i); });
  }
  minutes_ = new QLineEdit(how);
  minutes_->setObjectName("1003");
  minutes_->setFixedWidth(60);
  minutes_->installEventFilter(this);
  minutesLabel_ = new QLabel(how);
  minutesLabel_->setObjectName("1005");
  auto* inRow = new QHBoxLayout;
  inRow->addWidget(choices_[kChoiceIn]);
  inRow->addWidget(minutes_);
  inRow->addWidget(minutesLabel_);
  inRow->addStretch();
  howLayout->addWidget(choices_[kChoiceNow]);
  howLayout->addLayout(inRow);
  howLayout->addWidget(choices_[kChoiceLogoff]);
  layout->addWidget(how);

  auto* what = new QGroupBox(Q(texts::kMessageGroup), this);
  auto* whatLayout = new QVBoxLayout(what);
  message_ = new QPlainTextEdit(what);
  message_->setObjectName("1004");
  message_->setTabChangesFocus(true);
  message_->setFixedHeight(message_->fontMetrics().lineSpacing() * 3 + 12);
  message_->installEventFilter(this);
  // At most kMaxMessage characters, as the edit always allowed.
  connect(message_, &QPlainTextEdit::textChanged, this, [this] {
    const QString text = message_->toPlainText();
    if (text.size() > static_cast<int>(kMaxMessage)) {
      message_->setPlainText(text.left(kMaxMessage));
      message_->moveCursor(QTextCursor::End);
    }
  });
  whatLayout->addWidget(message_);
  layout->addWidget(what);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(Q(texts::kOk), QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(Q(texts::kCancel), QDialogButtonBox::RejectRole);
  ok->setObjectName("1");
  cancel->setObjectName("2");
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &CShutdownDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CShutdownDialog::reject);
  layout->addWidget(buttons);
  setMinimumWidth(420);

  setTabOrder(choices_[kChoiceNow], choices_[kChoiceIn]);
  setTabOrder(choices_[kChoiceIn], choices_[kChoiceLogoff]);
  setTabOrder(choices_[kChoiceLogoff], minutes_);
  setTabOrder(minutes_, message_);
  setTabOrder(message_, ok);
  setTabOrder(ok, cancel);

  connect(minutes_, &QLineEdit::textEdited, this, [this](const QString& text) {
    FromControls();
    logic_.m_strMinutes = text.toLocal8Bit().toStdString();
    logic_.OnMinutesChanged();
    ToControls();
  });

  const bool withMonitor = logic_.MonitorChoicesEnabled();
  message_->setEnabled(withMonitor);
  choices_[kChoiceLogoff]->setEnabled(withMonitor);
  ToControls();
}

void CShutdownDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (centred_) return;
  centred_ = true;
  adjustSize();
  CentreOnScreen(*this);
  activateWindow();
  choices_[logic_.m_nChoice]->setFocus(Qt::OtherFocusReason);
}

void CShutdownDialog::FromControls() {
  for (int i = 0; i < 3; ++i)
    if (choices_[i]->isChecked()) logic_.m_nChoice = i;
  logic_.m_strMinutes = minutes_->text().toLocal8Bit().toStdString();
  logic_.m_strMessage = message_->toPlainText().toLocal8Bit().toStdString();
}

void CShutdownDialog::ToControls() {
  choices_[logic_.m_nChoice]->setChecked(true);
  const QString minutes = Q(logic_.m_strMinutes);
  if (minutes_->text() != minutes) minutes_->setText(minutes);
  const QString message = Q(logic_.m_strMessage);
  if (message_->toPlainText() != message) message_->setPlainText(message);
  minutesLabel_->setText(Q(logic_.m_strMinutesLabel));
}

void CShutdownDialog::OnChoice(int choice) {
  FromControls();
  logic_.m_nChoice = choice;
  switch (choice) {
    case kChoiceNow: logic_.OnNow(); break;
    case kChoiceIn: logic_.OnIn(); break;
    case kChoiceLogoff: logic_.OnLogoff(); break;
  }
  ToControls();
  // After the arrow key's own move of the focus onto the button.
  if (choice == kChoiceIn) QTimer::singleShot(0, minutes_, [this] { minutes_->setFocus(Qt::OtherFocusReason); });
}

bool CShutdownDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == minutes_ && event->type() == QEvent::FocusIn) {
    // The whole number selected whichever way the edit was reached: at once,
    // so that a key already on its way replaces it; after a click, once the
    // click has placed its caret.
    if (static_cast<QFocusEvent*>(event)->reason() == Qt::MouseFocusReason)
      QTimer::singleShot(0, minutes_, [this] { minutes_->selectAll(); });
    else
      minutes_->selectAll();
  } else if (watched == message_ && event->type() == QEvent::KeyPress) {
    // The message is one line: Enter is the dialog's OK.
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      accept();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CShutdownDialog::accept() {
  FromControls();
  if (std::optional<std::string> refusal = logic_.Validate()) {
    QMessageBox box(QMessageBox::Warning, windowTitle(), Q(*refusal), QMessageBox::Ok, this);
    box.setObjectName("message");
    if (beforeModal_) beforeModal_(box);
    box.exec();
    activateWindow();
    minutes_->setFocus(Qt::OtherFocusReason);
    return;
  }
  QDialog::accept();
}

}  // namespace qn::manager
