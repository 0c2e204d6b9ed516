#include "tools/config/qt/add_adv_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "tools/config/core/config_texts.h"
#include "tools/config/qt/up_down.h"

namespace qn::config {

AddAdvDialog::AddAdvDialog(CAddAdvDlg& logic, BeforeModal hook, QWidget* parent)
    : QDialog(parent), logic_(logic), hook_(std::move(hook)) {
  setObjectName("133");
  setWindowTitle(Shown(texts::kAddCaption));
  auto* text = new QLabel(Shown(texts::kAddText), this);
  text->setWordWrap(true);
  application_ = new QLineEdit(Shown(logic_.m_strApplication), this);
  vendor_ = new QLineEdit(Shown(logic_.m_strVendor), this);
  seconds_ = new QLineEdit(Shown(logic_.m_strSeconds), this);
  application_->setObjectName(QString::number(CAddAdvDlg::kApplication));
  vendor_->setObjectName(QString::number(CAddAdvDlg::kVendor));
  seconds_->setObjectName(QString::number(CAddAdvDlg::kSeconds));
  seconds_->setMaximumWidth(80);
  auto* arrows = new UpDownArrows(
      seconds_,
      [this](int delta) {
        logic_.m_strSeconds = Typed(seconds_->text());
        logic_.Step(delta);
        seconds_->setText(Shown(logic_.m_strSeconds));
      },
      this);
  arrows->setObjectName(QString::number(CAddAdvDlg::kArrows));

  auto* fields = new QGridLayout;
  auto label = [this](const char* caption, QLineEdit* buddy) {
    auto* l = new QLabel(Shown(caption), this);
    l->setBuddy(buddy);
    return l;
  };
  fields->addWidget(label(texts::kAppLabel, application_), 0, 0);
  fields->addWidget(application_, 0, 1, 1, 2);
  fields->addWidget(label(texts::kVendorLabel, vendor_), 1, 0);
  fields->addWidget(vendor_, 1, 1, 1, 2);
  auto* secondsRow = new QHBoxLayout;
  secondsRow->setSpacing(0);
  secondsRow->addWidget(seconds_);
  secondsRow->addWidget(arrows);
  secondsRow->addStretch();
  fields->addWidget(label(texts::kSecondsLabel, seconds_), 2, 0, 1, 2);
  fields->addLayout(secondsRow, 2, 2);
  fields->setColumnStretch(2, 1);

  auto* ok = new QPushButton(Shown(texts::kOk), this);
  auto* cancel = new QPushButton(Shown(texts::kCancel), this);
  ok->setObjectName(QString::number(IDOK));
  cancel->setObjectName(QString::number(IDCANCEL));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addLayout(fields);
  layout->addLayout(buttons);
  setTabOrder(application_, vendor_);
  setTabOrder(vendor_, seconds_);
  setTabOrder(seconds_, ok);
  setTabOrder(ok, cancel);
  application_->setFocus();
  setMinimumWidth(420);
}

void AddAdvDialog::OnOK() {
  logic_.m_strApplication = Typed(application_->text());
  logic_.m_strVendor = Typed(vendor_->text());
  logic_.m_strSeconds = Typed(seconds_->text());
  if (logic_.OnOK(*this)) accept();
}

int AddAdvDialog::MessageBox(const std::string& text, Buttons buttons, Icon icon) {
  return RunMessageBox(this, hook_, text, buttons, icon);
}

void AddAdvDialog::FocusControl(int control) {
  QLineEdit* edit = control == CAddAdvDlg::kVendor    ? vendor_
                    : control == CAddAdvDlg::kSeconds ? seconds_
                                                      : application_;
  edit->setFocus();
  edit->selectAll();
}

}  // namespace qn::config
