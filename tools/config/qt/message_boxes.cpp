#include "tools/config/qt/message_boxes.h"

#include <QMessageBox>
#include <QPushButton>

#include "tools/config/core/config_texts.h"

namespace qn::config {

QString Shown(const std::string& bytes) { return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())); }

std::string Typed(const QString& text) { return text.toUtf8().toStdString(); }

int RunMessageBox(QWidget* parent, const BeforeModal& hook, const std::string& text, Buttons buttons, Icon icon) {
  QMessageBox box(parent);
  box.setObjectName("message");
  box.setWindowTitle(Shown(texts::kSheetCaption));
  box.setText(Shown(text));
  switch (icon) {
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Stop: box.setIcon(QMessageBox::Critical); break;
  }
  if (buttons == Buttons::YesNo) {
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    yes->setText("&Yes");
    box.button(QMessageBox::No)->setText("&No");
    box.setDefaultButton(yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
  }
  if (hook) hook(box);
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  if (buttons == Buttons::Ok) return IDOK;
  return clicked != nullptr && box.standardButton(clicked) == QMessageBox::Yes ? IDYES : IDNO;
}

}  // namespace qn::config
