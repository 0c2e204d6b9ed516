#include "tools/manager/qt/manager_app.h"

#include <QApplication>
#include <QMessageBox>

#include "common/event_log_source.h"
#include "platform/paths.h"
#include "tools/manager/core/local_host.h"
#include "tools/manager/core/manager_texts.h"
#include "tools/manager/qt/manager_window.h"
#include "tools/manager/qt/single_instance.h"

namespace qn::manager {

int RunManager(int& argc, char** argv, std::function<void()> onFirstPaint) {
  QApplication app(argc, argv);
  app.setApplicationName("qnman32");
  CSingleInstance instance(QString::fromLocal8Bit(qn::paths::RunDir().c_str()));
  const CSingleInstance::Outcome outcome = instance.Claim();
  if (outcome == CSingleInstance::Outcome::Activated) return 0;

  // The source has nothing to report; a missing message file changes nothing.
  bool sourceOpen = false;
  CEventLogSource source(kManagerEventSource, static_cast<int>(texts::kEventSourceFlag), sourceOpen);

  LocalManager local;
  CManagerWindow window(local.Host());
  window.onFirstPaint = std::move(onFirstPaint);
  if (outcome == CSingleInstance::Outcome::First && !instance.Listen([&window] { window.Activate(); })) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(texts::kBaseTitle),
                    QString::fromUtf8(texts::kRegisterMessageFailed), QMessageBox::Ok);
    box.exec();
  }
  window.show();
  return app.exec();
}

}  // namespace qn::manager
