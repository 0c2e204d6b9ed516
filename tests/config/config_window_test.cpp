// The editor's sheet and dialogs on Qt's offscreen platform: texts and
// control numbers of every page and dialog, stored texts shown without
// counting as edits, the tab order and the page keys, the Add dialog and the
// Remove question. Each leaves PNG captures in build/captures to look at.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdlib>
#include <functional>
#include <ostream>

#include "support/config_fakes.h"
#include "support/offscreen_qt.h"
#include "tools/config/core/config_texts.h"
#include "tools/config/qt/add_adv_dialog.h"
#include "tools/config/qt/config_window.h"

QT_BEGIN_NAMESPACE
// Readable failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* out) {
  *out << '{' << list.join("\", \"").prepend('"').append('"').toStdString() << '}';
}
QT_END_NAMESPACE

namespace qn::config::test {
namespace {

using namespace texts;
using reg::MakeDword;
using reg::MakeString;

QApplication& App() { return qn::test::OffscreenApp(); }
using qn::test::Capture;

QString Q(const char* text) { return QString::fromUtf8(text); }

QStringList LabelTexts(QWidget& widget) {
  QStringList texts;
  for (QLabel* label : widget.findChildren<QLabel*>()) texts << label->text();
  return texts;
}

QString Focused() {
  QWidget* focus = QApplication::focusWidget();
  return focus ? focus->objectName() : QString("<none>");
}

// Object names of the focus as Tab (or Shift+Tab) moves it `count` times.
QStringList TabWalk(int count, bool back = false) {
  QStringList names;
  for (int i = 0; i < count; ++i) {
    QTest::keyClick(QApplication::focusWidget(), back ? Qt::Key_Backtab : Qt::Key_Tab,
                    back ? Qt::ShiftModifier : Qt::NoModifier);
    names << Focused();
  }
  return names;
}

// Makes `window` the active one, as a window manager does for a new modal
// window and for the window below one that closed.
void Activate(QWidget& window) {
  window.activateWindow();
  EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &window; }));
}

// Runs `act` once the modal loop of `dialog` runs, with the dialog active.
void Later(QDialog& dialog, std::function<void()> act) {
  QTimer::singleShot(0, &dialog, [&dialog, act = std::move(act)] {
    Activate(dialog);
    act();
  });
}

class ConfigWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    store_.sections["SMTP"] = {MakeString("MailRelayAddress", "relay.example"),
                               MakeString("PrimaryDomainName", "caf\xe9.example"),
                               MakeString("AdditionalDomainNames", "extra.example other.example"),
                               MakeDword("MaxConnections", 25), MakeDword("Port", 2525)};
    store_.sections["Advertise"] = {MakeString("00", "Paint~Brenlo~60"), MakeString("01", "Chess~Games Inc~5"),
                                    MakeDword("Loop", 1)};
    store_.sections["WIP Server"] = {MakeDword("AuditDownloads", 1)};
  }
  // The sheet shown and active, as the program shows it.
  std::unique_ptr<ConfigSheetWindow> Show() {
    auto sheet = std::make_unique<ConfigSheetWindow>(store_);
    sheet->beforeModal = [this](QDialog& dialog) {
      modal_.push_back(&dialog);
      if (answer_) answer_(dialog);
    };
    sheet->show();
    Activate(*sheet);
    return sheet;
  }

  FakeStore store_;
  std::vector<QDialog*> modal_;
  std::function<void(QDialog&)> answer_;
};

TEST_F(ConfigWindow, EveryPageShowsItsTextsUnderItsControlNumbers) {
  auto sheet = Show();
  EXPECT_EQ(sheet->windowTitle(), Q(kSheetCaption));
  auto* tabs = sheet->findChild<QTabWidget*>("tabs");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->tabText(0), Q(kSmtpTab));
  EXPECT_EQ(tabs->tabText(1), Q(kAdvTab));
  EXPECT_EQ(tabs->tabText(2), Q(kWipTab));
  EXPECT_EQ(tabs->currentIndex(), 0);
  auto* ok = sheet->findChild<QPushButton*>("1");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), Q(kOk));
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(sheet->findChild<QPushButton*>("2")->text(), Q(kCancel));
  EXPECT_EQ(sheet->findChild<QPushButton*>("12321")->text(), Q(kApply));
  EXPECT_EQ(sheet->findChildren<QPushButton*>().size(), 7) << "no Help button";

  QWidget* smtp = sheet->findChild<QWidget*>("129");
  ASSERT_NE(smtp, nullptr);
  const QStringList labels = LabelTexts(*smtp);
  for (const char* label : {kRelayLabel, kPrimaryLabel, kOtherDomainsLabel, kMaxConnectionsLabel})
    EXPECT_TRUE(labels.contains(Q(label))) << label;
  EXPECT_EQ(smtp->findChild<QGroupBox*>()->title(), Q(kAdvancedGroup));
  EXPECT_TRUE(smtp->findChild<QGroupBox*>()->findChild<QLineEdit*>("1005") != nullptr);
  EXPECT_EQ(smtp->findChild<QLineEdit*>("1000")->text(), Q("relay.example"));
  EXPECT_EQ(smtp->findChild<QLineEdit*>("1004")->text(), QString::fromUtf8("caf\xe9.example"));
  EXPECT_EQ(smtp->findChild<QLineEdit*>("1005")->text(), Q("extra.example other.example"));
  EXPECT_EQ(smtp->findChild<QLineEdit*>("1003")->text(), Q("25"));
  QWidget* arrows = smtp->findChild<QWidget*>("1002");
  ASSERT_NE(arrows, nullptr);
  for (QToolButton* arrow : arrows->findChildren<QToolButton*>()) EXPECT_EQ(arrow->focusPolicy(), Qt::NoFocus);
  Capture(*sheet, "sheet-129-smtp-email");

  tabs->setCurrentIndex(1);
  QWidget* adv = sheet->findChild<QWidget*>("130");
  auto* list = adv->findChild<QTreeWidget*>("1008");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->headerItem()->text(0), Q(kAppColumn));
  EXPECT_EQ(list->headerItem()->text(1), Q(kVendorColumn));
  EXPECT_EQ(list->headerItem()->text(2), Q(kDelayColumn));
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(1)->text(0), Q("Chess"));
  EXPECT_EQ(list->topLevelItem(1)->text(1), Q("Games Inc"));
  EXPECT_EQ(list->topLevelItem(1)->text(2), Q("5"));
  EXPECT_TRUE(list->topLevelItem(0)->isSelected());
  struct Button {
    const char* name;
    const char* text;
    bool enabled;
  };
  for (const Button& b : {Button{"1009", kAddButton, true}, Button{"1010", kRemoveButton, true},
                          Button{"1018", kUpButton, false}, Button{"1019", kDownButton, true}}) {
    auto* button = adv->findChild<QPushButton*>(b.name);
    ASSERT_NE(button, nullptr) << b.name;
    EXPECT_EQ(button->text(), Q(b.text));
    EXPECT_EQ(button->isEnabled(), b.enabled) << b.name;
  }
  auto* loop = adv->findChild<QCheckBox*>("1020");
  EXPECT_EQ(loop->text(), Q(kLoopCheck));
  EXPECT_TRUE(loop->isChecked());
  Capture(*sheet, "sheet-130-advertisements");

  tabs->setCurrentIndex(2);
  auto* audit = sheet->findChild<QWidget*>("134")->findChild<QCheckBox*>("1021");
  ASSERT_NE(audit, nullptr);
  EXPECT_EQ(audit->text(), Q(kAuditCheck));
  EXPECT_TRUE(audit->isChecked());
  Capture(*sheet, "sheet-134-wip-server");
  // Shown is not edited: the 8-bit text is not rewritten.
  sheet->findChild<QPushButton*>("12321")->click();
  EXPECT_TRUE(store_.saves.empty());
}

TEST_F(ConfigWindow, TabFollowsTheSettingsAndCtrlKeysTurnThePages) {
  auto sheet = Show();
  auto* tabs = sheet->findChild<QTabWidget*>("tabs");
  tabs->tabBar()->setObjectName("tab bar");
  EXPECT_EQ(Focused(), "1000");
  EXPECT_EQ(TabWalk(8), (QStringList{"1004", "1005", "1003", "1", "2", "12321", "tab bar", "1000"}));
  EXPECT_EQ(TabWalk(2, true), (QStringList{"tab bar", "12321"}));

  struct Turn {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int page;
    const char* focus;
  };
  const Turn turns[] = {
      {Qt::Key_Tab, Qt::ControlModifier, 1, "1008"},
      {Qt::Key_PageDown, Qt::ControlModifier, 2, "1021"},
      {Qt::Key_Tab, Qt::ControlModifier, 0, "1000"},
      {Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, 2, "1021"},
      {Qt::Key_PageUp, Qt::ControlModifier, 1, "1008"},
      {Qt::Key_PageDown, Qt::ControlModifier, 2, "1021"},  // from inside the list too
  };
  for (const Turn& t : turns) {
    QTest::keyClick(QApplication::focusWidget(), t.key, t.modifiers);
    EXPECT_EQ(tabs->currentIndex(), t.page) << t.focus;
    EXPECT_EQ(Focused(), t.focus);
  }
  EXPECT_EQ(TabWalk(4), (QStringList{"1", "2", "12321", "tab bar"}));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageUp, Qt::ControlModifier);
  // Up is off on the first line: the walk skips it.
  EXPECT_EQ(TabWalk(6), (QStringList{"1009", "1010", "1019", "1020", "1", "2"}));
  EXPECT_TRUE(store_.saves.empty());
}

TEST_F(ConfigWindow, TheAddDialogAndTheRemoveQuestion) {
  auto sheet = Show();
  sheet->findChild<QTabWidget*>("tabs")->setCurrentIndex(1);
  auto* list = sheet->findChild<QTreeWidget*>("1008");
  QStringList seen;
  answer_ = [&](QDialog& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      Later(*box, [&, box] {
        seen << box->text();
        if (box->text().startsWith("Are you sure")) {
          EXPECT_EQ(box->icon(), QMessageBox::Critical);
          EXPECT_EQ(box->defaultButton()->text(), Q("&Yes"));
          EXPECT_EQ(box->windowTitle(), Q(kSheetCaption));
          Capture(*box, "message-remove-question");
          box->defaultButton()->click();
        } else {
          Capture(*box, "message-add-refused");
          box->button(QMessageBox::Ok)->click();
        }
      });
      return;
    }
    Later(dialog, [&] {
      EXPECT_EQ(dialog.objectName(), "133");
      EXPECT_EQ(dialog.windowTitle(), Q(kAddCaption));
      const QStringList labels = LabelTexts(dialog);
      for (const char* label : {kAddText, kAppLabel, kVendorLabel, kSecondsLabel})
        EXPECT_TRUE(labels.contains(Q(label))) << label;
      auto* application = dialog.findChild<QLineEdit*>("1014");
      auto* vendor = dialog.findChild<QLineEdit*>("1015");
      auto* seconds = dialog.findChild<QLineEdit*>("1016");
      ASSERT_TRUE(application && vendor && seconds);
      EXPECT_EQ(seconds->text(), Q("60"));
      dialog.findChild<QWidget*>("1017")->findChild<QToolButton*>("up")->click();
      EXPECT_EQ(seconds->text(), Q("61"));
      QTest::keyClick(seconds, Qt::Key_Down);
      QTest::keyClick(seconds, Qt::Key_Down);
      EXPECT_EQ(seconds->text(), Q("59"));
      EXPECT_EQ(Focused(), "1014");
      EXPECT_EQ(TabWalk(4), (QStringList{"1015", "1016", "1", "2"}));
      application->setText("Pa~int");
      vendor->setText("Brenlo");
      Capture(dialog, "dialog-133-add-cam-advertisement");
      dialog.findChild<QPushButton*>("1")->click();
      EXPECT_TRUE(dialog.isVisible()) << "refused";
      Activate(dialog);
      EXPECT_EQ(Focused(), "1014");
      EXPECT_EQ(application->selectedText(), Q("Pa~int"));
      QTest::keyClicks(application, "Spell");
      QTest::keyClick(application, Qt::Key_Return);  // OK is the default
    });
  };
  sheet->findChild<QPushButton*>("1009")->click();
  ASSERT_EQ(seen.size(), 1);
  EXPECT_EQ(seen[0], Q(kAdvNameCharacters));
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->topLevelItem(2)->text(0), Q("Spell"));
  EXPECT_EQ(list->topLevelItem(2)->text(2), Q("59"));
  EXPECT_TRUE(list->topLevelItem(0)->isSelected()) << "an added line leaves the selection";

  list->setCurrentItem(list->topLevelItem(1));
  EXPECT_TRUE(sheet->findChild<QPushButton*>("1018")->isEnabled());
  sheet->findChild<QPushButton*>("1010")->click();
  ASSERT_EQ(seen.size(), 2);
  EXPECT_EQ(seen[1], Q("Are you sure you want to remove the \"Chess\" Advertisement?"));
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_TRUE(list->topLevelItem(0)->isSelected());
  EXPECT_FALSE(sheet->findChild<QPushButton*>("1018")->isEnabled());
  Capture(*sheet, "sheet-130-after-add-and-remove");
  EXPECT_TRUE(store_.saves.empty());
}

}  // namespace
}  // namespace qn::config::test
