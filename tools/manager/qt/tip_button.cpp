#include "tools/manager/qt/tip_button.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

#include "tools/manager/qt/tip_window.h"

namespace qn::manager {

CTipButton::CTipButton(int command, QWidget* parent) : QAbstractButton(parent) {
  setObjectName(QString::number(command));
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  tipTimer_.setSingleShot(true);
  tipTimer_.setInterval(kTipDelayMs);
  connect(&tipTimer_, &QTimer::timeout, this, [this] { OnTipTimer(); });
}

void CTipButton::SetTip(const QString& text, CTipWnd* tip) {
  tipText_ = text;
  tip_ = tip;
}

void CTipButton::SetBitmaps(const QImage& up, const QImage& pressed, const QImage& disabled) {
  up_ = up;
  pressed_ = pressed;
  disabled_ = disabled;
  update();
}

void CTipButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage& image = !isEnabled() && !disabled_.isNull() ? disabled_ : isDown() ? pressed_ : up_;
  painter.drawImage(0, 0, image);
}

void CTipButton::mouseMoveEvent(QMouseEvent* event) {
  pointerInside_ = rect().contains(event->position().toPoint());
  pointer_ = event->globalPosition().toPoint();
  if (!armed_) {
    tipTimer_.start();
    setFocus(Qt::MouseFocusReason);
    armed_ = true;
  }
  QAbstractButton::mouseMoveEvent(event);
}

void CTipButton::enterEvent(QEnterEvent* event) {
  pointerInside_ = true;
  QAbstractButton::enterEvent(event);
}

void CTipButton::leaveEvent(QEvent* event) {
  pointerInside_ = false;
  QAbstractButton::leaveEvent(event);
}

void CTipButton::OnTipTimer() {
  if (tip_ == nullptr || !pointerInside_) return;
  const int bottom = mapToGlobal(QPoint(0, height())).y();
  tip_->ShowTip(pointer_.x() + 5, bottom + 10, tipText_);
}

void CTipButton::focusOutEvent(QFocusEvent* event) {
  if (tip_ != nullptr) tip_->hide();
  tipTimer_.stop();
  armed_ = false;
  QAbstractButton::focusOutEvent(event);
}

}  // namespace qn::manager
