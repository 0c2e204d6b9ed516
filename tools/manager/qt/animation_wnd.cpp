#include "tools/manager/qt/animation_wnd.h"

#include <QPainter>
#include <QTimerEvent>

#include "tools/manager/qt/images.h"

namespace qn::manager {

CAnimationWnd::CAnimationWnd(const QRect& rect, QWidget* parent, int id) : QWidget(parent) {
  setObjectName(QString::number(id));
  setGeometry(rect);
  setAttribute(Qt::WA_OpaquePaintEvent);
  show();
}

void CAnimationWnd::LoadFrames(int first, int count, int intervalMs) {
  interval_ = intervalMs;
  frame_ = 1;
  frames_.clear();
  for (int i = 0; i < count; ++i) frames_.push_back(LoadBitmap(QString("frame%1").arg(first + i, 2, 10, QChar('0'))));
}

void CAnimationWnd::Start() {
  if (!running_ && !frames_.empty()) timer_.start(interval_, this);
  running_ = true;
}

void CAnimationWnd::Stop() {
  if (running_) {
    timer_.stop();
    running_ = false;
  }
  frame_ = 1;
  repaint();
}

void CAnimationWnd::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timer_.timerId()) return;
  frame_ = frame_ >= FrameCount() ? 1 : frame_ + 1;
  repaint();
}

void CAnimationWnd::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage* image = frames_.empty() ? nullptr : &frames_[frame_ - 1];
  const int w = image ? image->width() : width() - 4, h = image ? image->height() : height() - 4;
  painter.fillRect(0, 0, w + 4, 2, QColor(128, 128, 128));
  painter.fillRect(0, 0, 2, h + 4, QColor(128, 128, 128));
  painter.fillRect(0, h + 2, w + 4, 2, Qt::white);
  painter.fillRect(w + 2, 2, 2, h + 2, Qt::white);
  if (image != nullptr) painter.drawImage(2, 2, *image);
}

}  // namespace qn::manager
