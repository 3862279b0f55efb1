#include "shell/flat_progress_bar.h"

#include <QEvent>
#include <QPainter>

namespace flashmere {

FlatProgressBar::FlatProgressBar(QWidget* parent) : QProgressBar(parent) {}

bool FlatProgressBar::event(QEvent* event) {
    const bool handled = QProgressBar::event(event);
    // The bar covers its whole rectangle: the window under it is not
    // repainted. Set after the style's polish, which clears it for bars.
    if (event->type() == QEvent::Polish) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    return handled;
}

void FlatProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect inside = rect().adjusted(1, 1, -1, -1);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(140));  // the outline
    painter.fillRect(inside, palette().color(QPalette::Base));
    const qint64 span = qint64(maximum()) - minimum();
    const qint64 done = qBound<qint64>(0, qint64(value()) - minimum(), span);
    if (span > 0 && done > 0) {
        const int filled = static_cast<int>(done * inside.width() / span);
        painter.fillRect(inside.x(), inside.y(), filled, inside.height(),
                         palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                         QPalette::Highlight));
    }
    if (isTextVisible()) {
        // Readable while the window is disabled during a run.
        painter.setPen(palette().color(QPalette::Active, QPalette::Text));
        painter.drawText(inside, Qt::AlignCenter, text());
    }
}

}  // namespace flashmere
