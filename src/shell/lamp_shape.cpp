#include "shell/lamp_shape.h"

#include <QPainter>

namespace flashmere {

LampShape::LampShape(QWidget* parent) : QWidget(parent) {
    // The lamp blinks while a run is busy. It paints its parent's background
    // colour itself, so a blink does not lay out the parent's text anew.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LampShape::setColour(const QColor& colour) {
    if (colour != colour_) {
        colour_ = colour;
        update();
    }
}

void LampShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (const QWidget* parent = parentWidget()) {
        painter.fillRect(rect(), parent->palette().brush(parent->backgroundRole()));
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(colour_);
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

}  // namespace flashmere
