#include "shell/screen_fit.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <algorithm>

namespace flashmere {
namespace {

const QScreen* screenOf(const QWidget& window) {
    const QScreen* screen = window.screen();
    return screen != nullptr ? screen : QGuiApplication::primaryScreen();
}

}  // namespace

QSize roomOnScreen(const QWidget& window) {
    const QScreen* screen = screenOf(window);
    if (screen == nullptr) {
        return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    // The frame is known once the window manager has drawn it; before that
    // the room is the whole available area.
    const QSize frame = window.frameGeometry().size() - window.geometry().size();
    return screen->availableGeometry().size() - frame.expandedTo(QSize(0, 0));
}

QSize sizeWithin(QSize content, QSize room, int scrollBarExtent) {
    QSize size = content.boundedTo(room);
    // A cut height brings a vertical bar that takes width, and the other way
    // round; twice settles it.
    for (int pass = 0; pass < 2; ++pass) {
        const bool heightCut = size.height() < content.height();
        const bool widthCut = size.width() < content.width();
        size = QSize(content.width() + (heightCut ? scrollBarExtent : 0),
                     content.height() + (widthCut ? scrollBarExtent : 0))
                   .boundedTo(room);
    }
    return size;
}

QScrollArea* scrollCentralWidget(QMainWindow& window) {
    QWidget* content = window.takeCentralWidget();
    auto* scroll = new QScrollArea(&window);
    scroll->setObjectName("clientScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(false);
    scroll->setFocusPolicy(Qt::NoFocus);  // no Tab stop: its controls are
    scroll->setWidget(content);
    window.setCentralWidget(scroll);
    return scroll;
}

void fixSizeWithinScreen(QMainWindow& window, QSize clientArea) {
    // The menu bar as tall as the layout makes it at that width (a Chinese
    // font can make it taller than its size hint says).
    int menu = 0;
    if (const QMenuBar* bar = window.menuBar()) {
        const int forWidth = bar->heightForWidth(clientArea.width());
        menu = std::max(forWidth, bar->sizeHint().height());
    }
    const QSize content(clientArea.width(), clientArea.height() + menu);
    const int scrollBar = window.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &window);
    const QSize size = sizeWithin(content, roomOnScreen(window), scrollBar);
    // No bars when the whole fits: a bar shown for a moment while the menu
    // bar changed its height would otherwise keep the other one.
    if (auto* scroll = qobject_cast<QAbstractScrollArea*>(window.centralWidget())) {
        const Qt::ScrollBarPolicy policy =
            size == content ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
        scroll->setHorizontalScrollBarPolicy(policy);
        scroll->setVerticalScrollBarPolicy(policy);
    }
    window.setFixedSize(size);
    // Laid out now, so that the scroll bars follow the size before anything
    // is drawn (a grab right after a language change).
    if (QLayout* layout = window.layout()) {
        layout->activate();
    }
}

void placeInsideScreen(QWidget& window) {
    const QScreen* screen = screenOf(window);
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const QSize frame = window.frameGeometry().size();
    const QPoint centred = area.center() - QPoint(frame.width() / 2, frame.height() / 2);
    window.move(std::max(centred.x(), area.left()), std::max(centred.y(), area.top()));
}

}  // namespace flashmere
