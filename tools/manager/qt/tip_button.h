// A bitmap push button with a tip: up, pressed and disabled bitmaps, and
// after the pointer has rested on it for a second, its one-line tip under it.
// Moving onto a button gives it the focus, so moving on to the next button
// takes the focus away and hides the tip.
#pragma once
#include <QAbstractButton>
#include <QImage>
#include <QTimer>

namespace qn::manager {

class CTipWnd;

class CTipButton : public QAbstractButton {
 public:
  // `command` is the button's object name.
  CTipButton(int command, QWidget* parent);
  void SetTip(const QString& text, CTipWnd* tip);
  // The disabled bitmap may be null: the up bitmap is shown then.
  void SetBitmaps(const QImage& up, const QImage& pressed, const QImage& disabled);
  bool Armed() const { return armed_; }
  QSize sizeHint() const override { return size(); }

  static constexpr int kTipDelayMs = 1000;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void OnTipTimer();

  QString tipText_;
  CTipWnd* tip_ = nullptr;
  QImage up_, pressed_, disabled_;
  QTimer tipTimer_;
  bool armed_ = false;
  bool pointerInside_ = false;
  QPoint pointer_;  // screen position of the last move over the button
};

}  // namespace qn::manager
