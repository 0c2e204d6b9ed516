#include "tools/config/qt/config_window.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "tools/config/core/config_texts.h"
#include "tools/config/qt/add_adv_dialog.h"
#include "tools/config/qt/config_pages.h"

namespace qn::config {

ConfigSheetWindow::ConfigSheetWindow(ISettingsStore& store, QWidget* parent)
    : QDialog(parent), logic_(store, *this) {
  setObjectName("sheet");
  setWindowTitle(Shown(texts::kSheetCaption));
  logic_.Load();

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("tabs");
  smtp_ = new SmtpPageView(logic_.Smtp());
  adv_ = new AdvPageView(logic_.Adv(), *this);
  wip_ = new WipPageView(logic_.Wip());
  tabs_->addTab(smtp_, Shown(texts::kSmtpTab));
  tabs_->addTab(adv_, Shown(texts::kAdvTab));
  tabs_->addTab(wip_, Shown(texts::kWipTab));
  smtp_->Refresh();
  adv_->Refresh();
  wip_->Refresh();

  ok_ = new QPushButton(Shown(texts::kOk), this);
  cancel_ = new QPushButton(Shown(texts::kCancel), this);
  apply_ = new QPushButton(Shown(texts::kApply), this);
  ok_->setObjectName(QString::number(IDOK));
  cancel_->setObjectName(QString::number(IDCANCEL));
  apply_->setObjectName("12321");
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, [this] { logic_.OnOK(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { logic_.OnCancel(); });
  connect(apply_, &QPushButton::clicked, this, [this] { logic_.OnApply(); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {ok_, cancel_, apply_}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  // The tabs, each page's controls in the order of its settings, then the
  // buttons; controls of hidden pages are skipped.
  std::vector<QWidget*> chain{tabs_->tabBar()};
  for (const auto& controls : {smtp_->Controls(), adv_->Controls(), wip_->Controls()})
    chain.insert(chain.end(), controls.begin(), controls.end());
  chain.insert(chain.end(), {ok_, cancel_, apply_});
  for (size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);

  const int count = tabs_->count();
  auto turn = [this, count](int delta) { ShowPage((tabs_->currentIndex() + delta + count) % count); };
  for (QKeySequence keys : {QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)})
    connect(new QShortcut(keys, this), &QShortcut::activated, this, [turn] { turn(+1); });
  for (QKeySequence keys : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageUp)})
    connect(new QShortcut(keys, this), &QShortcut::activated, this, [turn] { turn(-1); });
  resize(520, 400);
}

ConfigSheetWindow::~ConfigSheetWindow() = default;

void ConfigSheetWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  smtp_->Controls().front()->setFocus();
}

QWidget* ConfigSheetWindow::FirstControlOf(int page) const {
  switch (page) {
    case CMyPropSheet::kAdvPage: return adv_->Controls().front();
    case CMyPropSheet::kWipPage: return wip_->Controls().front();
    default: return smtp_->Controls().front();
  }
}

void ConfigSheetWindow::ShowPage(int page) {
  tabs_->setCurrentIndex(page);
  FirstControlOf(page)->setFocus(Qt::TabFocusReason);
}

int ConfigSheetWindow::MessageBox(const std::string& text, Buttons buttons, Icon icon) {
  return RunMessageBox(this, beforeModal, text, buttons, icon);
}

void ConfigSheetWindow::FocusControl(int control) {
  tabs_->setCurrentIndex(CMyPropSheet::PageOf(control));
  QWidget* widget = findChild<QWidget*>(QString::number(control));
  if (widget == nullptr) return;
  widget->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->selectAll();
}

int ConfigSheetWindow::RunAddDialog(CAddAdvDlg& dialog) {
  AddAdvDialog window(dialog, beforeModal, this);
  if (beforeModal) beforeModal(window);
  return window.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void ConfigSheetWindow::EndSheet(int result) { QDialog::done(result); }

void ConfigSheetWindow::reject() { logic_.OnCancel(); }

}  // namespace qn::config
