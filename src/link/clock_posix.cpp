#include <sys/prctl.h>

#include "link/precise_sleeps.h"

namespace flashmere {

// The kernel's default 50 us of timer slack on each sleep adds up; a thread
// among a thousand keeps it, and the kernel gathers wake-ups.
void askForPreciseSleeps(bool coalescedSleeps) {
    thread_local const bool precise =
        !coalescedSleeps && ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
}

}  // namespace flashmere
