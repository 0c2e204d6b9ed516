#include "tools/manager/qt/status_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "tools/manager/core/manager_texts.h"

namespace qn::manager {

void CentreOnScreen(QWidget& window) {
  QScreen* screen = window.screen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const QSize size = window.frameGeometry().size();
  window.move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

CStatusDialog::CStatusDialog(int id, const char* heading, int textId, QWidget* parent)
    : QDialog(parent), timers_(this, [this](int timer) {
        if (onTimer) onTimer(timer);
      }) {
  setObjectName(QString::number(id));
  setWindowTitle(QString::fromUtf8(texts::kServerCaption));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  if (heading != nullptr) layout->addWidget(new QLabel(QString::fromUtf8(heading), this), 0, Qt::AlignHCenter);
  text_ = new QLabel(this);
  text_->setObjectName(QString::number(textId));
  text_->setAlignment(Qt::AlignHCenter);
  text_->setMinimumWidth(240);
  layout->addWidget(text_);
  auto* cancel = new QPushButton(QString::fromUtf8(texts::kCancel), this);
  cancel->setObjectName("2");
  cancel->setDefault(true);
  layout->addWidget(cancel, 0, Qt::AlignHCenter);
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
}

QString CStatusDialog::Text() const { return text_->text(); }

void CStatusDialog::SetText(const std::string& text) { text_->setText(QString::fromLocal8Bit(text.c_str())); }

void CStatusDialog::ShowCentered() {
  adjustSize();
  CentreOnScreen(*this);
  show();
  raise();
  activateWindow();
}

void CStatusDialog::reject() {
  if (onCancel)
    onCancel();
  else
    hide();
}

}  // namespace qn::manager
