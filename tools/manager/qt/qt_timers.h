// Window timers on Qt's event loop for the manager's logic: one repeating
// QTimer per identifier, each telling its owner's OnTimer.
#pragma once
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>

#include "tools/manager/core/manager_host.h"

namespace qn::manager {

class QtTimers : public ITimers {
 public:
  QtTimers(QObject* parent, std::function<void(int)> onTimer) : parent_(parent), onTimer_(std::move(onTimer)) {}
  void SetTimer(int id, int milliseconds) override;
  void KillTimer(int id) override;
  bool IsActive(int id) const;

 private:
  QObject* parent_;
  std::function<void(int)> onTimer_;
  std::map<int, QTimer*> timers_;
};

}  // namespace qn::manager
