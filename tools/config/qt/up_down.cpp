#include "tools/config/qt/up_down.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace qn::config {

UpDownArrows::UpDownArrows(QLineEdit* buddy, std::function<void(int)> step, QWidget* parent)
    : QWidget(parent), step_(std::move(step)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int delta : {+1, -1}) {
    auto* arrow = new QToolButton(this);
    arrow->setArrowType(delta > 0 ? Qt::UpArrow : Qt::DownArrow);
    arrow->setObjectName(delta > 0 ? "up" : "down");
    arrow->setFocusPolicy(Qt::NoFocus);
    arrow->setAutoRepeat(true);
    arrow->setFixedSize(16, buddy->sizeHint().height() / 2);
    connect(arrow, &QToolButton::clicked, this, [this, delta] { step_(delta); });
    layout->addWidget(arrow);
  }
  setFocusPolicy(Qt::NoFocus);
  buddy->installEventFilter(this);
}

bool UpDownArrows::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      step_(key == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace qn::config
