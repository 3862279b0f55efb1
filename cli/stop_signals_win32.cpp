#include <windows.h>

#include <atomic>

#include "stop_signals.h"

namespace flashmere::cli {
namespace {

std::atomic<int> requests{0};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            requests.fetch_add(1);
            return TRUE;
        case CTRL_BREAK_EVENT:
            requests.fetch_add(2);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            requests.fetch_add(2);
            // The process ends when this returns: leave the run's thread the
            // time to write its report (the system allows about 5 s).
            Sleep(4000);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void installStopSignals() {
    requests.store(0);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void restoreStopSignals() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

int stopRequests() {
    return requests.load();
}

void startWithoutStopSignals(const std::function<void()>& start) {
    start();  // console events never interrupt another thread
}

}  // namespace flashmere::cli
