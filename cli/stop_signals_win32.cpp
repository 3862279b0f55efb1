#include <windows.h>

#include <atomic>

#include "stop_signals.h"

namespace flashmere::cli {
namespace {

std::atomic<int> requests{0};
std::atomic<const char*> firstName{nullptr};
int depth = 0;  // nested installs, on the one thread that installs

void noteRequest(const char* name, int count) {
    const char* none = nullptr;
    firstName.compare_exchange_strong(none, name);
    requests.fetch_add(count);
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            noteRequest("Ctrl-C", 1);
            return TRUE;
        case CTRL_BREAK_EVENT:
            noteRequest("Ctrl-Break", 2);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            noteRequest("the console was closed", 2);
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
    if (depth++ > 0) {
        return;
    }
    requests.store(0);
    firstName.store(nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void restoreStopSignals() {
    if (depth == 0 || --depth > 0) {
        return;
    }
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

int stopRequests() {
    return requests.load();
}

std::string firstStopName() {
    const char* name = firstName.load();
    return name != nullptr ? name : "";
}

void startWithoutStopSignals(const std::function<void()>& start) {
    start();  // console events never interrupt another thread
}

}  // namespace flashmere::cli
