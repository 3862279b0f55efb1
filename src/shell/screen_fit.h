#pragma once

#include <QSize>

class QMainWindow;
class QScrollArea;
class QWidget;

namespace flashmere {

// The room a top-level window's frame may take on the screen it is on
// (or will be on): the screen's available area, less the frame the window
// manager draws around it.
QSize roomOnScreen(const QWidget& window);

// The window's size for content of the given size in that room: the content
// whole when it fits; else as much as fits, with room for the scroll bars
// that then appear.
QSize sizeWithin(QSize content, QSize room, int scrollBarExtent);

// Puts the window's central widget into a frameless scroll area, so that a
// fixed-size window on a small screen (or at a large scale factor) keeps
// every control reachable by scrolling; Tab scrolls the focused control
// into view.
QScrollArea* scrollCentralWidget(QMainWindow& window);

// Fixes the window's size for its menu bar and a central widget holding
// the client area on its screen.
void fixSizeWithinScreen(QMainWindow& window, QSize clientArea);

// Moves a top-level window so that its frame lies inside the available area
// of its screen: centred there, its title bar never above the top.
void placeInsideScreen(QWidget& window);

}  // namespace flashmere
