// Preloaded (LD_PRELOAD) into a Qt Widgets program by bench/config_startup:
// once the first paint of a window has been handled, writes
// "painted <VmRSS in kB>" to the descriptor named by QN_PAINT_PROBE_FD and
// ends the process. The program itself carries nothing for the bench.
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void Report() {
  long rss = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
  char text[64];
  const int n = std::snprintf(text, sizeof text, "painted %ld\n", rss);
  if (const char* fd = std::getenv("QN_PAINT_PROBE_FD"))
    if (::write(std::atoi(fd), text, static_cast<size_t>(n)) != n) std::_Exit(3);
  std::_Exit(0);
}

class FirstPaint : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // The report waits for the rest of the paint pass (the window's other
    // widgets and the flush), which ends before queued calls run.
    if (event->type() == QEvent::Paint && !seen_ && watched->isWidgetType()) {
      seen_ = true;
      QTimer::singleShot(0, [] { Report(); });
    }
    return false;
  }

 private:
  bool seen_ = false;
};

void InstallProbe() { QCoreApplication::instance()->installEventFilter(new FirstPaint); }

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallProbe)
