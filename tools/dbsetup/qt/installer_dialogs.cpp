#include "tools/dbsetup/qt/installer_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup {

namespace {

QLabel* WrappedText(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setWordWrap(true);
  return label;
}

QString Text(const std::string& text) { return QString::fromLocal8Bit(text.c_str(), static_cast<int>(text.size())); }
std::string Bytes(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

QIcon ProgramIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(20, 40, 90), 1.5));
  painter.setBrush(QColor(70, 120, 200));
  painter.drawRect(QRectF(6, 8, 20, 16));
  painter.setPen(Qt::NoPen);
  painter.drawRect(QRectF(6.75, 8, 18.5, 16));
  painter.setPen(QPen(QColor(20, 40, 90), 1.5));
  painter.drawLine(QPointF(6, 8), QPointF(6, 24));
  painter.drawLine(QPointF(26, 8), QPointF(26, 24));
  painter.drawEllipse(QRectF(6, 20, 20, 8));
  painter.setBrush(QColor(150, 190, 240));
  painter.drawEllipse(QRectF(6, 4, 20, 8));
  return QIcon(pixmap);
}

CDriverChoiceDlg::CDriverChoiceDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("129");
  setWindowTitle(QString::fromUtf8(texts::kDriverCaption));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedText(texts::kDriverQuestion, this));
  layout->addWidget(WrappedText(texts::kDriverAccessNote, this));
  layout->addWidget(WrappedText(texts::kDriverSqlNote, this));
  auto* buttons = new QHBoxLayout;
  auto* access = new QPushButton(QString::fromUtf8(texts::kDriverAccessButton), this);
  auto* sql = new QPushButton(QString::fromUtf8(texts::kDriverSqlButton), this);
  auto* cancel = new QPushButton(QString::fromUtf8(texts::kCancel), this);
  access->setObjectName("1001");
  sql->setObjectName("1002");
  cancel->setObjectName("2");
  access->setDefault(true);
  buttons->addWidget(access);
  buttons->addWidget(sql);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(access, &QPushButton::clicked, this, [this] { done(kAccessButton); });
  connect(sql, &QPushButton::clicked, this, [this] { done(kSqlServerButton); });
  connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
  setMinimumWidth(420);
}

int CDriverChoiceDlg::Run() {
  const int result = exec();
  return result == kAccessButton || result == kSqlServerButton ? result : IDCANCEL;
}

CSqlServerParamsDlg::CSqlServerParamsDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("130");
  setWindowTitle(QString::fromUtf8(texts::kSqlParamsCaption));
  auto* form = new QFormLayout;
  database_ = new QLineEdit(this);
  login_ = new QLineEdit(this);
  password_ = new QLineEdit(this);
  server_ = new QLineEdit(this);
  database_->setObjectName("1003");
  login_->setObjectName("1004");
  password_->setObjectName("1005");
  server_->setObjectName("1002");
  password_->setEchoMode(QLineEdit::Password);
  form->addRow(QString::fromUtf8(texts::kSqlParamsServerLabel), server_);
  form->addRow(QString::fromUtf8(texts::kSqlParamsDatabaseLabel), database_);
  form->addRow(QString::fromUtf8(texts::kSqlParamsLoginLabel), login_);
  form->addRow(QString::fromUtf8(texts::kSqlParamsPasswordLabel), password_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

void CSqlServerParamsDlg::ToControls() {
  database_->setText(Text(m_strDatabase));
  login_->setText(Text(m_strLoginID));
  password_->setText(Text(m_strPassword));
  server_->setText(Text(m_strServerName));
}

void CSqlServerParamsDlg::FromControls() {
  m_strDatabase = Bytes(database_->text());
  m_strLoginID = Bytes(login_->text());
  m_strPassword = Bytes(password_->text());
  m_strServerName = Bytes(server_->text());
}

int CSqlServerParamsDlg::Run(SqlServerParams& values) {
  m_strDatabase = values.database;
  m_strLoginID = values.loginId;
  m_strPassword = values.password;
  m_strServerName = values.serverName;
  ToControls();
  if (exec() != QDialog::Accepted) return IDCANCEL;
  FromControls();
  values = {m_strDatabase, m_strLoginID, m_strPassword, m_strServerName};
  return IDOK;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("100");
  setWindowTitle(QString::fromUtf8(texts::kAboutCaption));
  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  auto* row = new QHBoxLayout;
  row->addWidget(icon);
  row->addWidget(new QLabel(QString::fromUtf8(texts::kAboutVersion), this), 1);
  auto* ok = new QPushButton(QString::fromUtf8(texts::kOk), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  row->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
}

}  // namespace qn::dbsetup
