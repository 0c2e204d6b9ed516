#include "tools/manager/qt/tip_window.h"

#include <QFontMetrics>
#include <QPainter>

namespace qn::manager {

CTipWnd::CTipWnd() : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint), font_(TipFont()) {
  setObjectName("tip");
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setGeometry(0, 0, 10, 10);
}

QFont CTipWnd::TipFont() {
  QFont font("Arial");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(15);
  font.setWeight(QFont::Normal);
  return font;
}

void CTipWnd::ShowTip(int x, int y, const QString& text) {
  text_ = text;
  const QRect measured = QFontMetrics(font_).boundingRect(QRect(), Qt::TextSingleLine, text);
  setGeometry(x, y, measured.width() + 12, measured.height() + 4);
  show();
  update();
}

void CTipWnd::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(255, 255, 128));
  painter.setPen(Qt::black);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setFont(font_);
  painter.drawText(rect(), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, text_);
}

}  // namespace qn::manager
