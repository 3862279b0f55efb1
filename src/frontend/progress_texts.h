#pragma once

namespace flashmere {

// The captions of the window's progress bars in English, Simplified and
// Traditional Chinese (UTF-8), read by language index (message_table.h).
enum class ProgressText {
    // A progress bar's caption; %v, %m and %p are the bar's own
    // placeholders (page, pages, percent), %1 and %2 the elapsed time and
    // the time left.
    BarPagesAndTimes,
    // The same without times, once the stage is over.
    BarPages,
    // The window's repeat flow: its check box beside Upgrade, the message
    // while it waits, its stop button, and the count of the sitting (%1 ok,
    // %2 not ok).
    NextUnitOption,
    WaitingForNextUnit,
    StopWaiting,
    UnitsCount,
    kCount
};

// The text in a language; an index outside 0..2 reads English.
const char* progressText(ProgressText text, int languageIndex);

}  // namespace flashmere
