// An up-down control beside an edit: two arrow buttons that never take the
// focus (the Up and Down keys in the edit do the same), each press one step.
#pragma once
#include <QWidget>
#include <functional>

class QLineEdit;

namespace qn::config {

class UpDownArrows : public QWidget {
 public:
  // `step` gets +1 or -1 for each press or key.
  UpDownArrows(QLineEdit* buddy, std::function<void(int)> step, QWidget* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void(int)> step_;
};

}  // namespace qn::config
