#pragma once

namespace flashmere {

// A run sleeps a thousand times for pauses of a few milliseconds that the
// devices expect; the system's default wake-up granularity would stretch
// each of them. Called before every sleep of the system clock; asks the
// system at most once per thread (or process), in each system's own way
// (clock_posix.cpp, clock_win32.cpp). coalescedSleeps: the thread allowed
// its sleeps to be gathered (allowCoalescedSleeps), where the system can.
void askForPreciseSleeps(bool coalescedSleeps);

}  // namespace flashmere
