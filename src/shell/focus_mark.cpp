#include "shell/focus_mark.h"

#include <QEvent>
#include <QPainter>
#include <QPen>

namespace flashmere {

FocusMark::FocusMark(QWidget& target, QMargins margins)
    : QWidget(&target), target_(target), margins_(margins) {
    setObjectName(target.objectName() + "FocusMark");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(target.rect().marginsRemoved(margins_));
    setVisible(target.hasFocus());
    target.installEventFilter(this);
}

bool FocusMark::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &target_) {
        switch (event->type()) {
            case QEvent::FocusIn:
                setGeometry(target_.rect().marginsRemoved(margins_));
                raise();
                show();
                break;
            case QEvent::FocusOut:
                hide();
                break;
            case QEvent::Resize:
                setGeometry(target_.rect().marginsRemoved(margins_));
                break;
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FocusMark::paintEvent(QPaintEvent*) {
    // In the control's text colour, so it shows on the control's own
    // background, inside its border.
    QPainter painter(this);
    QPen pen(target_.palette().color(QPalette::WindowText), 2, Qt::DotLine);
    painter.setPen(pen);
    painter.drawRect(rect().adjusted(4, 4, -5, -5));
}

}  // namespace flashmere
