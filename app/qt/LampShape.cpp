#include "LampShape.h"

#include <QPainter>

LampShape::LampShape(QWidget* parent) : QWidget(parent) { resize(21, 21); }

void LampShape::SetColor(unsigned color) { color_ = color; }

void LampShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(QColor(static_cast<QRgb>(color_)));
    p.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
}
