// The one-line tip shown under a button: a light-yellow popup with a black
// frame that never takes the activation.
#pragma once
#include <QFont>
#include <QWidget>

namespace qn::manager {

class CTipWnd : public QWidget {
 public:
  CTipWnd();
  // Sizes the window to the text (12 pixels wider, 4 taller) and shows it
  // with its top-left corner at (x, y) on the screen.
  void ShowTip(int x, int y, const QString& text);
  const QString& Text() const { return text_; }
  // Arial, else the installed sans, 15 pixels, normal weight.
  static QFont TipFont();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
  QFont font_;
};

}  // namespace qn::manager
