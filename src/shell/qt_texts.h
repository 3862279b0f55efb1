#pragma once

#include <QString>

#include "frontend/window_texts.h"

namespace flashmere {

// A window text (frontend/window_texts.h) as a QString.
QString windowText(WindowText text, int languageIndex);

// The language the window shows, readable from any thread. It also gives the
// texts that Qt writes itself (the buttons of a message box, a text box's
// context menu), from the same catalogue, the dialogs that the window's
// default hooks open, and the window's words in the reasons that a device
// operation builds on its worker thread. The window sets it each time it
// applies its language.
void useWindowLanguage(int languageIndex);
int windowLanguage();

}  // namespace flashmere
