#include "tools/manager/qt/qt_timers.h"

namespace qn::manager {

void QtTimers::SetTimer(int id, int milliseconds) {
  QTimer*& timer = timers_[id];
  if (timer == nullptr) {
    timer = new QTimer(parent_);
    QObject::connect(timer, &QTimer::timeout, parent_, [this, id] { onTimer_(id); });
  }
  timer->start(milliseconds);
}

void QtTimers::KillTimer(int id) {
  auto found = timers_.find(id);
  if (found != timers_.end()) found->second->stop();
}

bool QtTimers::IsActive(int id) const {
  auto found = timers_.find(id);
  return found != timers_.end() && found->second->isActive();
}

}  // namespace qn::manager
