#include "tools/config/qt/config_pages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <climits>

#include "tools/config/core/config_texts.h"
#include "tools/config/qt/message_boxes.h"
#include "tools/config/qt/up_down.h"

namespace qn::config {

namespace {

QString Number(int control) { return QString::number(control); }

QLabel* Label(const char* text, QWidget* buddy, QWidget* parent) {
  auto* label = new QLabel(Shown(text), parent);
  label->setBuddy(buddy);
  return label;
}

// An edit of the page whose typing goes to the logic. Stored texts longer
// than a line edit's usual limit are shown whole, not cut.
QLineEdit* Edit(CPPSMTP& logic, int control, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(Number(control));
  edit->setMaxLength(INT_MAX);
  QObject::connect(edit, &QLineEdit::textEdited, parent,
                   [&logic, control](const QString& text) { logic.SetText(control, Typed(text)); });
  return edit;
}

// The columns of a line: application, vendor, and the rest as stored.
QStringList Columns(const std::string& line) {
  const size_t first = line.find('\t');
  const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
  if (first == std::string::npos) return {Shown(line), QString(), QString()};
  if (second == std::string::npos) return {Shown(line.substr(0, first)), Shown(line.substr(first + 1)), QString()};
  return {Shown(line.substr(0, first)), Shown(line.substr(first + 1, second - first - 1)),
          Shown(line.substr(second + 1))};
}

}  // namespace

SmtpPageView::SmtpPageView(CPPSMTP& logic, QWidget* parent) : QWidget(parent), logic_(logic) {
  setObjectName("129");
  relay_ = Edit(logic_, CPPSMTP::kRelay, this);
  primary_ = Edit(logic_, CPPSMTP::kPrimary, this);
  maxConnections_ = Edit(logic_, CPPSMTP::kMaxConnections, this);
  maxConnections_->setMaximumWidth(60);
  auto* arrows = new UpDownArrows(
      maxConnections_,
      [this](int delta) {
        logic_.Step(delta);
        maxConnections_->setText(Shown(logic_.Text(CPPSMTP::kMaxConnections)));
      },
      this);
  arrows->setObjectName(Number(CPPSMTP::kArrows));

  auto* advanced = new QGroupBox(Shown(texts::kAdvancedGroup), this);
  other_ = Edit(logic_, CPPSMTP::kOtherDomains, advanced);
  auto* advancedLayout = new QGridLayout(advanced);
  advancedLayout->addWidget(Label(texts::kOtherDomainsLabel, other_, advanced), 0, 0);
  advancedLayout->addWidget(other_, 0, 1);

  auto* count = new QHBoxLayout;
  count->setSpacing(0);
  count->addWidget(maxConnections_);
  count->addWidget(arrows);
  count->addStretch();

  // On the page as in the tab order: the settings' order.
  auto* grid = new QGridLayout;
  grid->addWidget(Label(texts::kRelayLabel, relay_, this), 0, 0);
  grid->addWidget(relay_, 0, 1);
  grid->addWidget(Label(texts::kPrimaryLabel, primary_, this), 1, 0);
  grid->addWidget(primary_, 1, 1);
  grid->addWidget(advanced, 2, 0, 1, 2);
  grid->addWidget(Label(texts::kMaxConnectionsLabel, maxConnections_, this), 3, 0);
  grid->addLayout(count, 3, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addStretch();
}

void SmtpPageView::Refresh() {
  relay_->setText(Shown(logic_.Text(CPPSMTP::kRelay)));
  primary_->setText(Shown(logic_.Text(CPPSMTP::kPrimary)));
  other_->setText(Shown(logic_.Text(CPPSMTP::kOtherDomains)));
  maxConnections_->setText(Shown(logic_.Text(CPPSMTP::kMaxConnections)));
  for (QLineEdit* edit : {relay_, primary_, other_, maxConnections_}) edit->setCursorPosition(0);
}

std::vector<QWidget*> SmtpPageView::Controls() const { return {relay_, primary_, other_, maxConnections_}; }

AdvPageView::AdvPageView(CPPAdv& logic, IConfigView& view, QWidget* parent)
    : QWidget(parent), logic_(logic), view_(view) {
  setObjectName("130");
  list_ = new QTreeWidget(this);
  list_->setObjectName(Number(CPPAdv::kList));
  list_->setHeaderLabels({Shown(texts::kAppColumn), Shown(texts::kVendorColumn), Shown(texts::kDelayColumn)});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->header()->setSectionsMovable(false);
  list_->setColumnWidth(0, 130);
  list_->setColumnWidth(1, 130);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
    if (showing_) return;
    const auto selected = list_->selectedItems();
    logic_.OnSelChange(selected.isEmpty() ? CPPAdv::kNoSelection : list_->indexOfTopLevelItem(selected.front()));
    ShowButtons();
  });

  // Every button changes the list or its selection: the list is shown again.
  auto button = [this](const char* text, int control, auto action) {
    auto* b = new QPushButton(Shown(text), this);
    b->setObjectName(Number(control));
    connect(b, &QPushButton::clicked, this, [this, action] {
      action();
      ShowList();
    });
    return b;
  };
  add_ = button(texts::kAddButton, CPPAdv::kAdd, [this] { logic_.OnAdd(view_); });
  remove_ = button(texts::kRemoveButton, CPPAdv::kRemove, [this] { logic_.OnRemove(view_); });
  up_ = button(texts::kUpButton, CPPAdv::kUp, [this] { logic_.OnMoveUp(); });
  down_ = button(texts::kDownButton, CPPAdv::kDown, [this] { logic_.OnMoveDown(); });
  loop_ = new QCheckBox(Shown(texts::kLoopCheck), this);
  loop_->setObjectName(Number(CPPAdv::kLoop));
  connect(loop_, &QCheckBox::clicked, this, [this](bool checked) { logic_.SetLoop(checked); });

  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {add_, remove_, up_, down_}) buttons->addWidget(b);
  buttons->addStretch();
  auto* row = new QHBoxLayout;
  row->addWidget(list_, 1);
  row->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(loop_);
}

void AdvPageView::Refresh() {
  loop_->setChecked(logic_.Loop());
  ShowList();
}

void AdvPageView::ShowList() {
  showing_ = true;
  list_->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(logic_.Lines().size()));
  for (const std::string& line : logic_.Lines()) items.push_back(new QTreeWidgetItem(Columns(line)));
  list_->addTopLevelItems(items);
  if (logic_.Selection() != CPPAdv::kNoSelection) {
    QTreeWidgetItem* selected = list_->topLevelItem(logic_.Selection());
    list_->setCurrentItem(selected);
    list_->scrollToItem(selected);
  }
  showing_ = false;
  ShowButtons();
}

void AdvPageView::ShowButtons() {
  const CPPAdv::ButtonStates states = logic_.Buttons();
  remove_->setEnabled(states.remove);
  up_->setEnabled(states.up);
  down_->setEnabled(states.down);
}

std::vector<QWidget*> AdvPageView::Controls() const { return {list_, add_, remove_, up_, down_, loop_}; }

WipPageView::WipPageView(CPPWip& logic, QWidget* parent) : QWidget(parent), logic_(logic) {
  setObjectName("134");
  audit_ = new QCheckBox(Shown(texts::kAuditCheck), this);
  audit_->setObjectName(Number(CPPWip::kAudit));
  connect(audit_, &QCheckBox::clicked, this, [this](bool checked) { logic_.SetAudit(checked); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(audit_);
  layout->addStretch();
}

void WipPageView::Refresh() { audit_->setChecked(logic_.Audit()); }

std::vector<QWidget*> WipPageView::Controls() const { return {audit_}; }

}  // namespace qn::config
