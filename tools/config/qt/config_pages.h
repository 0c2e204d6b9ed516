// The sheet's three pages on Qt over their logic: each edit, list, button
// and box is named by its control number; an operator's change goes to the
// page's logic at once, and the page shows what the logic holds.
#pragma once
#include <QWidget>
#include <vector>

#include "tools/config/core/prop_sheet.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace qn::config {

class SmtpPageView : public QWidget {
 public:
  SmtpPageView(CPPSMTP& logic, QWidget* parent = nullptr);
  // Shows what the logic holds (after a load).
  void Refresh();
  // The page's controls in tab order.
  std::vector<QWidget*> Controls() const;

 private:
  CPPSMTP& logic_;
  QLineEdit* relay_;
  QLineEdit* primary_;
  QLineEdit* other_;
  QLineEdit* maxConnections_;
};

class AdvPageView : public QWidget {
 public:
  AdvPageView(CPPAdv& logic, IConfigView& view, QWidget* parent = nullptr);
  void Refresh();
  std::vector<QWidget*> Controls() const;

 private:
  // Rows and selection after the list changed, then the buttons.
  void ShowList();
  void ShowButtons();

  CPPAdv& logic_;
  IConfigView& view_;
  QTreeWidget* list_;
  QPushButton* add_;
  QPushButton* remove_;
  QPushButton* up_;
  QPushButton* down_;
  QCheckBox* loop_;
  bool showing_ = false;
};

class WipPageView : public QWidget {
 public:
  WipPageView(CPPWip& logic, QWidget* parent = nullptr);
  void Refresh();
  std::vector<QWidget*> Controls() const;

 private:
  CPPWip& logic_;
  QCheckBox* audit_;
};

}  // namespace qn::config
