// The windowed programs' tests on Qt's offscreen platform: one application
// object per test process, and PNG captures in build/captures to look at.
// Header only: the support library itself does not link Qt.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QWidget>
#include <cstdlib>

namespace qn::test {

inline QApplication& OffscreenApp() {
  static int argc = 1;
  static char name[] = "test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *app;
}

inline void Capture(QWidget& widget, const char* name) {
  const QString dir = QString::fromUtf8(QN_BIN_DIR) + "/../captures";
  QDir().mkpath(dir);
  ASSERT_TRUE(widget.grab().save(dir + "/" + name + ".png")) << name;
}

}  // namespace qn::test
