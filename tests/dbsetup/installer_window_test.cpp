// The installer's window and dialogs on Qt's offscreen platform: their
// texts, the buttons' results, a whole run with its status lines painted
// during a long step and a close that waits for the step's end. Each test
// leaves a PNG capture in build/captures to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "fake_host.h"
#include "support/offscreen_qt.h"
#include "tools/dbsetup/core/installer_texts.h"
#include "tools/dbsetup/qt/installer_dialogs.h"
#include "tools/dbsetup/qt/installer_window.h"

namespace qn::dbsetup::test {
namespace {

using namespace texts;

QApplication& App() { return qn::test::OffscreenApp(); }
using qn::test::Capture;

QString Q(const char* text) { return QString::fromUtf8(text); }

std::vector<QString> LabelTexts(QWidget& widget) {
  std::vector<QString> texts;
  for (QLabel* label : widget.findChildren<QLabel*>()) texts.push_back(label->text());
  return texts;
}

bool Has(const std::vector<QString>& texts, const char* text) {
  return std::find(texts.begin(), texts.end(), Q(text)) != texts.end();
}

// Clicks the button of `dialog` named by object name (or a message box's
// standard button) once its modal loop runs.
void ClickLater(QDialog& dialog, const char* button, QMessageBox::StandardButton standard = QMessageBox::NoButton) {
  QTimer::singleShot(0, &dialog, [&dialog, button, standard] {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      box->button(standard)->click();
      return;
    }
    dialog.findChild<QPushButton*>(button)->click();
  });
}

TEST(InstallerWindow, DialogsCarryTheirTextsAndAnswerWithTheirButtons) {
  App();
  {
    CDriverChoiceDlg dialog;
    dialog.show();
    Capture(dialog, "dialog-129-driver-choice");
    EXPECT_EQ(dialog.windowTitle(), Q(kDriverCaption));
    const auto texts = LabelTexts(dialog);
    for (const char* text : {kDriverQuestion, kDriverAccessNote, kDriverSqlNote}) EXPECT_TRUE(Has(texts, text)) << text;
    EXPECT_EQ(dialog.findChild<QPushButton*>("1001")->text(), Q(kDriverAccessButton));
    EXPECT_EQ(dialog.findChild<QPushButton*>("1002")->text(), Q(kDriverSqlButton));
    struct Case {
      const char* button;
      int result;
    };
    for (const Case& c : {Case{"1001", kAccessButton}, Case{"1002", kSqlServerButton}, Case{"2", IDCANCEL}}) {
      ClickLater(dialog, c.button);
      EXPECT_EQ(dialog.Run(), c.result) << c.button;
    }
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.reject(); });  // Escape, the close box
    EXPECT_EQ(dialog.Run(), IDCANCEL);
  }
  {
    CSqlServerParamsDlg dialog;
    SqlServerParams values{kSqlParamsDatabaseInitial, kSqlParamsLoginInitial, "", kSqlParamsServerInitial};
    QTimer::singleShot(0, &dialog, [&dialog] {
      Capture(dialog, "dialog-130-sql-server-parameters");
      EXPECT_EQ(dialog.findChild<QLineEdit*>("1002")->text(), Q("(local)"));
      EXPECT_EQ(dialog.findChild<QLineEdit*>("1003")->text(), Q("Quillnet_Server"));
      EXPECT_EQ(dialog.findChild<QLineEdit*>("1004")->text(), Q("sa"));
      EXPECT_EQ(dialog.findChild<QLineEdit*>("1005")->echoMode(), QLineEdit::Password);
      dialog.findChild<QLineEdit*>("1005")->setText("s3cret;}");
      dialog.findChild<QLineEdit*>("1002")->setText("db.example,6000");
      dialog.accept();
    });
    EXPECT_EQ(dialog.Run(values), IDOK);
    EXPECT_EQ(dialog.windowTitle(), Q(kSqlParamsCaption));
    EXPECT_EQ(values.password, "s3cret;}");
    EXPECT_EQ(values.serverName, "db.example,6000");
    QTimer::singleShot(0, &dialog, [&dialog] {
      dialog.findChild<QLineEdit*>("1003")->setText("changed");
      dialog.reject();
    });
    EXPECT_EQ(dialog.Run(values), IDCANCEL);
    EXPECT_EQ(values.database, kSqlParamsDatabaseInitial);
  }
  {
    CAboutDlg dialog;
    dialog.show();
    Capture(dialog, "dialog-100-about");
    EXPECT_EQ(dialog.windowTitle(), Q(kAboutCaption));
    EXPECT_TRUE(Has(LabelTexts(dialog), kAboutVersion));
  }
}

// A version 1.0 upgrade into new files on fakes, through the window.
TEST(InstallerWindow, AWholeRunPaintsItsLinesAndACloseWaitsForTheStep) {
  App();
  FakeInstallation f;
  f.odbc.sources[kServerDataSource] = {{"Driver", kAccessDriver}};
  f.AddTemplates();
  f.AddLiveFiles();
  f.databases.tables = {"LineNumbers"};
  InstallerWindow window(f.Host());
  std::vector<std::string> boxes;
  window.beforeModal = [&boxes](QDialog& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      boxes.push_back(box->text().toStdString());
      ClickLater(*box, nullptr, box->text() == Q(kUpgradeToSqlQuestion) ? QMessageBox::No : QMessageBox::Ok);
    }
  };
  bool stillOpenDuringStep = false;
  f.databases.upgrade = [&](const UpgradeRequest& request, IUpgradeProgress& progress) {
    for (long row = 1; row <= 1000; ++row) progress.Row("Accounts", row, 1000);
    Capture(window, "dialog-102-upgrading");
    // The status lines were painted while the step ran.
    EXPECT_EQ(window.findChild<QLabel*>("1000")->text(), Q(kStepTexts[4]));
    EXPECT_EQ(window.findChild<QLabel*>("1002")->text(), Q("Updating Accounts (1000 out of 1000)"));
    window.close();
    stillOpenDuringStep = window.isVisible();
    for (const char* stem : kStems) f.files.content[std::string(kDir) + stem + "." + request.newExtension] = "db:new";
    return AttachmentMoves{};
  };
  const int result = window.exec();
  EXPECT_EQ(result, IDOK);
  EXPECT_TRUE(stillOpenDuringStep);
  EXPECT_EQ(boxes, std::vector<std::string>{kUpgradeToSqlQuestion});
  EXPECT_EQ(f.files.content[std::string(kDir) + "QNACCOUN.MDB"], "db:new");
  EXPECT_EQ(window.findChild<QLabel*>("1000")->text(), Q(kStepTexts[4]));
  Capture(window, "dialog-102-finished");
}

TEST(InstallerWindow, AFailedStepShowsItsErrorAndTheWindowStaysUntilClosed) {
  App();
  FakeInstallation f;
  f.odbc.drivers = {kAccessDriver};
  f.AddTemplates();
  f.files.failAt = 3;  // a copy of a template
  InstallerWindow window(f.Host());
  std::string shown;
  window.beforeModal = [&](QDialog& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      shown = box->text().toStdString();
      Capture(*box, "message-file-error");
      ClickLater(*box, nullptr, QMessageBox::Ok);
      // The operator closes the window once the message is read.
      QTimer::singleShot(0, &window, [&window] { window.reject(); });
    }
  };
  EXPECT_EQ(window.exec(), IDCANCEL);
  EXPECT_NE(shown.find("disk full"), std::string::npos) << shown;
  EXPECT_TRUE(f.odbc.sources.empty());
}

TEST(InstallerWindow, TheContextMenuOffersAboutBetweenSteps) {
  App();
  FakeInstallation f;
  // Not shown, so no step runs: the menu works on its own.
  InstallerWindow window(f.Host());
  QStringList items;
  bool aboutShown = false;
  window.beforeModal = [&](QDialog& dialog) {
    aboutShown = dialog.objectName() == "100";
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.accept(); });
  };
  QTimer::singleShot(0, &window, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions()) items << action->text();
    menu->actions().front()->trigger();
    menu->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), window.mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(&window, &event);
  EXPECT_EQ(items, QStringList{Q(kAboutMenuItem)});
  QApplication::processEvents();
  EXPECT_TRUE(aboutShown);
}

}  // namespace
}  // namespace qn::dbsetup::test
