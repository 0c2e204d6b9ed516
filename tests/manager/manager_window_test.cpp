// The manager's window and dialogs on Qt's offscreen platform, on fakes:
// titles and bitmaps per state, the tip after a second's rest, the
// shutdown dialog's keyboard paths, the modeless dialogs, one copy per
// installation. Each test leaves PNG captures in build/captures to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <fstream>

#include "fake_host.h"
#include "support/offscreen_qt.h"
#include "support/scoped_root.h"
#include "tools/manager/core/manager_texts.h"
#include "tools/manager/qt/animation_wnd.h"
#include "tools/manager/qt/images.h"
#include "tools/manager/qt/manager_window.h"
#include "tools/manager/qt/single_instance.h"
#include "tools/manager/qt/status_dialog.h"
#include "tools/manager/qt/tip_button.h"
#include "tools/manager/qt/tip_window.h"

// Readable failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace qn::manager::test {
namespace {

using namespace texts;

QApplication& App() { return qn::test::OffscreenApp(); }

QString Q(const char* text) { return QString::fromUtf8(text); }

void Capture(QWidget& widget, const QString& name) {
  qn::test::Capture(widget, ("manager-" + name).toUtf8().constData());
}

// Runs the event loop for `ms` milliseconds of real time.
void Spin(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool SpinUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

struct Window {
  explicit Window(uint32_t serverState = kStateStopped) {
    App();
    m.services.states[kServerService] = serverState;
    m.services.states[kGuardianService] = serverState;
    window = std::make_unique<CManagerWindow>(m.Host());
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  QRgb Pixel(int x, int y) { return window->grab().toImage().pixel(x, y); }
  FakeManager m;
  std::unique_ptr<CManagerWindow> window;
};

TEST(ManagerWindow, EachStateHasItsTitleAndBitmapsAndEveryButtonItsPlace) {
  for (uint32_t state : {kStateStopped, kStateRunning}) {
    Window w(state);
    CManagerWindow& window = *w.window;
    const bool running = state == kStateRunning;
    EXPECT_EQ(window.windowTitle(), Q(kBaseTitle) + Q(running ? kRunningSuffix : kStoppedSuffix));
    EXPECT_EQ(window.geometry().size(), QSize(kClientWidth, kClientHeight));
    for (const ButtonEntry& entry : Buttons()) {
      CTipButton* button = window.Button(entry.command);
      ASSERT_NE(button, nullptr);
      EXPECT_EQ(button->geometry(), QRect(entry.x, entry.y, entry.width, entry.height)) << entry.command;
      EXPECT_EQ(button->objectName(), QString::number(entry.command));
    }
    EXPECT_EQ(window.Button(kCmdMonitor)->isEnabled(), running);
    EXPECT_EQ(window.Button(kCmdCompact)->isEnabled(), !running);
    EXPECT_EQ(window.Animation().Running(), running);
    EXPECT_EQ(window.Animation().geometry(), QRect(304, 6, 52, 52));
    // The background, the animation's sunken border, the raised button.
    EXPECT_EQ(w.Pixel(300, 64), qRgb(192, 192, 192));
    EXPECT_EQ(w.Pixel(305, 7), qRgb(128, 128, 128));
    EXPECT_EQ(w.Pixel(355, 57), qRgb(255, 255, 255));
    EXPECT_EQ(w.Pixel(2, 2), qRgb(255, 255, 255));
    EXPECT_EQ(w.Pixel(31, 31), qRgb(0, 0, 0));
    // The start/stop button's lamp: red stopped, green running.
    const QColor lamp = QColor(w.Pixel(running ? 17 : 17, running ? 23 : 10));
    EXPECT_GT(running ? lamp.green() : lamp.red(), 150) << lamp.name().toStdString();
    Capture(window, running ? "running" : "stopped");
  }
}

TEST(ManagerWindow, EveryBitmapIsBuiltInAndTheAnimationTurnsAndRests) {
  App();
  QImage sheet(20 * 34, 4 * 64, QImage::Format_RGB32);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  int column = 0;
  for (const ButtonEntry& entry : Buttons()) {
    QStringList names;
    const QString image = Q(entry.image);
    for (const char* face : {"-up", "-pressed", "-disabled"}) {
      if (entry.command == kCmdStartStop) {
        names << image + "-stopped" + face << image + "-running" + face << image + "-transitional" + face;
      } else if (entry.hasDisabledImage || QString(face) != "-disabled") {
        names << image + face;
      }
    }
    int row = 0;
    for (const QString& name : names) {
      const QImage bitmap = LoadBitmap(name);
      ASSERT_FALSE(bitmap.isNull()) << name.toStdString();
      EXPECT_EQ(bitmap.size(), QSize(entry.width, entry.height)) << name.toStdString();
      if (row < 4) painter.drawImage(column * 34, row * 64, bitmap);
      ++row;
    }
    ++column;
  }
  painter.end();
  sheet.save(QString::fromUtf8(QN_BIN_DIR) + "/../captures/manager-bitmaps.png");
  EXPECT_TRUE(LoadBitmap("nothing").isNull());
  for (int frame = 1; frame <= kAnimationFrames; ++frame)
    EXPECT_EQ(LoadBitmap(QString("frame%1").arg(frame, 2, 10, QChar('0'))).size(), QSize(48, 48));
  EXPECT_FALSE(ProgramIcon().isNull());

  QWidget parent;
  CAnimationWnd animation(QRect(0, 0, 52, 52), &parent, kAnimationId);
  animation.LoadFrames(1, kAnimationFrames, kAnimationIntervalMs);
  animation.Stop();  // on a stopped animation: frame 1, no timer
  EXPECT_EQ(animation.CurrentFrame(), 1);
  EXPECT_FALSE(animation.Running());
  const QImage rest = animation.grab().toImage();
  animation.Start();
  EXPECT_TRUE(SpinUntil([&] { return animation.CurrentFrame() >= 3; }));
  EXPECT_NE(animation.grab().toImage(), rest);
  Capture(animation, "animation-turning");
  animation.Stop();
  EXPECT_EQ(animation.CurrentFrame(), 1);
  EXPECT_EQ(animation.grab().toImage(), rest);
  Spin(400);
  EXPECT_EQ(animation.CurrentFrame(), 1);
}

TEST(ManagerWindow, ATipShowsAfterASecondsRestAndGoesWithTheNextButton) {
  Window w;
  CManagerWindow& window = *w.window;
  window.activateWindow();
  CTipButton* monitor = window.Button(kCmdAdmin);
  CTipButton* cam = window.Button(kCmdCam);
  QTest::mouseMove(monitor, QPoint(10, 12));
  EXPECT_TRUE(monitor->Armed());
  EXPECT_TRUE(monitor->hasFocus());
  Spin(700);
  EXPECT_FALSE(window.Tip().isVisible());
  EXPECT_TRUE(SpinUntil([&] { return window.Tip().isVisible(); }, 3000));
  EXPECT_EQ(window.Tip().Text(), Q(kTipAdmin));
  const QPoint pointer = monitor->mapToGlobal(QPoint(10, 12));
  EXPECT_EQ(window.Tip().geometry().topLeft(), QPoint(pointer.x() + 5, monitor->mapToGlobal(QPoint(0, 30)).y() + 10));
  const QFontMetrics metrics(CTipWnd::TipFont());
  EXPECT_EQ(window.Tip().width(), metrics.boundingRect(Q(kTipAdmin)).width() + 12);
  Capture(window.Tip(), "tip");
  EXPECT_EQ(window.Tip().grab().toImage().pixel(0, 0), qRgb(0, 0, 0));
  EXPECT_EQ(window.Tip().grab().toImage().pixel(3, 2), qRgb(255, 255, 128));

  QTest::mouseMove(cam, QPoint(5, 5));
  EXPECT_FALSE(window.Tip().isVisible());
  EXPECT_FALSE(monitor->Armed());
  // Leaving before the second is up shows nothing.
  QTest::mouseMove(&window, QPoint(300, 64));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(cam, &leave);
  Spin(1300);
  EXPECT_FALSE(window.Tip().isVisible());
}

// Answers dialogs as they open: `steps` run one after another, each once
// the next modal dialog (or box) is up.
struct Script {
  std::vector<std::function<void(QDialog&)>> steps;
  size_t next = 0;
  std::vector<QString> boxes;
  void Attach(CManagerWindow& window) {
    window.beforeModal = [this](QDialog& dialog) {
      if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
        boxes.push_back(box->text());
        QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
        return;
      }
      if (next < steps.size()) {
        auto step = steps[next++];
        QTimer::singleShot(0, &dialog, [step, &dialog] {
          step(dialog);
          // A step that failed must not leave its dialog waiting for good.
          if (::testing::Test::HasFatalFailure() && dialog.isVisible()) dialog.reject();
        });
      }
    };
  }
};

template <class T>
T* Child(QDialog& dialog, const char* name) {
  T* child = dialog.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

TEST(ManagerWindow, TheShutdownDialogsKeyboardPathsAndItsCountdown) {
  Window w(kStateRunning);
  Script script;
  bool checked = false;
  script.steps.push_back([&](QDialog& dialog) {
    ASSERT_TRUE(SpinUntil([&dialog] { return QApplication::activeWindow() == &dialog; }));
    Capture(dialog, "dialog-143");
    EXPECT_EQ(dialog.windowTitle(), Q(kShutdownCaption));
    auto* now = Child<QRadioButton>(dialog, "1000");
    auto* in = Child<QRadioButton>(dialog, "1001");
    auto* minutes = Child<QLineEdit>(dialog, "1003");
    auto* message = Child<QPlainTextEdit>(dialog, "1004");
    EXPECT_TRUE(now->isChecked());
    EXPECT_TRUE(now->hasFocus());
    EXPECT_EQ(message->toPlainText(), Q(kMessageInitial));
    // An arrow key moves to "In": the minutes edit takes the focus with
    // its number selected.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    SpinUntil([&] { return minutes->hasFocus() && minutes->hasSelectedText(); }, 2000);
    EXPECT_TRUE(in->isChecked());
    EXPECT_TRUE(minutes->hasFocus());
    EXPECT_EQ(minutes->selectedText(), "60");
    EXPECT_EQ(message->toPlainText(),
              "Broadcase message from the Administrator: The Quillnet Server will shut down in 60 minutes.");
    QTest::keyClicks(minutes, "0");  // replaces the selection: out of range
    EXPECT_EQ(Child<QLabel>(dialog, "1005")->text(), Q(kMinutesLabel));
    QTest::keyClick(minutes, Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());  // refused; the box was answered
    ASSERT_TRUE(SpinUntil([&] { return minutes->hasFocus(); }, 3000));
    minutes->selectAll();
    QTest::keyClicks(minutes, "1");
    EXPECT_EQ(Child<QLabel>(dialog, "1005")->text(), Q(kMinuteLabel));
    EXPECT_EQ(message->toPlainText(),
              "Broadcase message from the Administrator: The Quillnet Server will shut down in 1 minute.");
    // Tab order: minutes, message, OK, Cancel, back to the choice.
    for (const char* next : {"1004", "1", "2", "1001"}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      ASSERT_NE(QApplication::focusWidget(), nullptr);
      EXPECT_EQ(QApplication::focusWidget()->objectName(), next);
    }
    Capture(dialog, "dialog-143-in-1-minute");
    checked = true;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);  // OK is the default
  });
  script.Attach(*w.window);
  w.window->Logic().OnCommand(kCmdStartStop);
  EXPECT_TRUE(checked);
  EXPECT_EQ(script.boxes, std::vector<QString>{Q(kMinutesRange)});
  CStatusDialog& countdown = w.window->CountdownDialog();
  EXPECT_TRUE(countdown.isVisible());
  EXPECT_EQ(countdown.objectName(), "136");
  EXPECT_EQ(countdown.Text(), "in 00:59 minutes");
  EXPECT_TRUE(SpinUntil([&] { return countdown.Text() == "in 00:58 minutes"; }, 5000));
  Capture(countdown, "dialog-136");
  EXPECT_EQ(w.m.monitors.state.allows, std::vector<bool>{false});
  QTest::keyClick(&countdown, Qt::Key_Escape);  // Cancel
  EXPECT_FALSE(countdown.isVisible());
  EXPECT_EQ(w.m.monitors.state.allows, (std::vector<bool>{false, true}));
  EXPECT_FALSE(w.window->CountdownDialog().Timers().IsActive(kCountdownTimer));
}

TEST(ManagerWindow, EscapeCancelsAndWithoutTheMonitorTheLogoffChoiceIsOff) {
  Window w(kStateRunning);
  w.m.monitors.state.connections = 2;
  Script script;
  script.steps.push_back([](QDialog& dialog) {
    Child<QRadioButton>(dialog, "1002")->click();
    EXPECT_EQ(Child<QPlainTextEdit>(dialog, "1004")->toPlainText(), Q(kMessageLogoff));
    QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  script.steps.push_back([](QDialog& dialog) {
    EXPECT_TRUE(Child<QRadioButton>(dialog, "1002")->isChecked());  // the values stay between runs
    Child<QPushButton>(dialog, "1")->click();
  });
  script.steps.push_back([](QDialog& dialog) {
    EXPECT_FALSE(Child<QRadioButton>(dialog, "1002")->isEnabled());
    EXPECT_FALSE(Child<QPlainTextEdit>(dialog, "1004")->isEnabled());
    Capture(dialog, "dialog-143-without-monitor");
    Child<QPushButton>(dialog, "2")->click();
  });
  script.Attach(*w.window);
  w.window->Logic().OnCommand(kCmdStartStop);
  EXPECT_TRUE(w.m.monitors.state.allows.empty());
  w.window->Logic().OnCommand(kCmdStartStop);
  CStatusDialog& wait = w.window->WaitDialog();
  EXPECT_TRUE(wait.isVisible());
  EXPECT_EQ(wait.objectName(), "144");
  EXPECT_EQ(wait.Text(), "2 users still connected.");
  Capture(wait, "dialog-144");
  wait.reject();
  w.m.monitors.state.creatable = false;
  w.window->Logic().SetNoMonitorAccess();
  w.window->Logic().OnCommand(kCmdStartStop);
  EXPECT_EQ(script.next, 3u);
}

TEST(ManagerWindow, OneCopyPerInstallationActivatesTheFirstEvenMinimised) {
  Window w;
  qn::test::ScopedRoot root;
  const QString runDir = QString::fromStdString((root.path() / "run" / "quillnet").string());
  CSingleInstance first(runDir);
  ASSERT_EQ(first.Claim(), CSingleInstance::Outcome::First);
  int activations = 0;
  ASSERT_TRUE(first.Listen([&] {
    ++activations;
    w.window->Activate();
  }));
  w.window->showMinimized();
  CSingleInstance second(runDir);
  EXPECT_EQ(second.Claim(), CSingleInstance::Outcome::Activated);
  EXPECT_TRUE(SpinUntil([&] { return activations == 1; }));
  EXPECT_FALSE(w.window->windowState() & Qt::WindowMinimized);

  // A lock left by a copy that was killed: its process is gone.
  CSingleInstance stale(QString::fromStdString((root.path() / "stale").string()));
  QDir().mkpath(QString::fromStdString((root.path() / "stale").string()));
  std::ofstream(stale.LockPath().toStdString()) << "999999\nqnman32\n" << QSysInfo::machineHostName().toStdString()
                                                << "\n";
  EXPECT_EQ(stale.Claim(), CSingleInstance::Outcome::First);
  // A run directory that cannot be made: no guard, the program goes on.
  std::ofstream(root.path() / "file") << "x";
  CSingleInstance unguarded(QString::fromStdString((root.path() / "file" / "run").string()));
  EXPECT_EQ(unguarded.Claim(), CSingleInstance::Outcome::Unguarded);
  EXPECT_FALSE(unguarded.Listen([] {}));
}

TEST(ManagerWindow, AMoveIsRememberedAndTheClientProgramIsAskedFor) {
  Window w;
  w.window->move(w.window->pos() + QPoint(40, 30));
  const QPoint client = w.window->geometry().topLeft();
  EXPECT_TRUE(SpinUntil([&] { return w.m.settings.writes >= 2; }, 3000));
  EXPECT_EQ(static_cast<int>(w.m.settings.dwords["Manager\\Left"]), client.x());
  EXPECT_EQ(static_cast<int>(w.m.settings.dwords["Manager\\Top"]), client.y());

  Script script;
  script.steps.push_back([](QDialog& dialog) {
    Capture(dialog, "open-client");
    EXPECT_EQ(dialog.objectName(), "open");
    dialog.reject();
  });
  script.Attach(*w.window);
  w.window->Logic().OnCommand(kCmdConnector);
  EXPECT_EQ(script.next, 1u);
  EXPECT_TRUE(w.m.spawner.started.empty());
  w.window->close();
  EXPECT_FALSE(w.window->isVisible());
}

}  // namespace
}  // namespace qn::manager::test
