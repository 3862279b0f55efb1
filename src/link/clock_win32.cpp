#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include "link/precise_sleeps.h"

namespace flashmere {

// Windows wakes sleepers on its timer tick, 15.6 ms unless a process asks
// for finer ticks (for the whole process, so once is enough, whatever the
// thread allows).
void askForPreciseSleeps(bool /*coalescedSleeps*/) {
    static const bool precise = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)precise;
}

}  // namespace flashmere
