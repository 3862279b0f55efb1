#include <windows.h>

#include <QMetaObject>
#include <atomic>
#include <utility>

#include "shell/stop_signal_watcher.h"

namespace flashmere {
namespace {

std::atomic<StopSignalWatcher*> watcher{nullptr};

// Runs on a thread the system starts for the event; the request goes to the
// watcher's thread as a queued call.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const char* name = nullptr;
    switch (event) {
        case CTRL_C_EVENT:
            name = "Ctrl-C";
            break;
        case CTRL_BREAK_EVENT:
            name = "Ctrl-Break";
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            name = "the console was closed";
            break;
        default:
            return FALSE;
    }
    StopSignalWatcher* target = watcher.load();
    if (target == nullptr) {
        return FALSE;
    }
    const QString text = QString::fromLatin1(name);
    QMetaObject::invokeMethod(
        target, [target, text] { target->deliver(text); }, Qt::QueuedConnection);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        // The process ends when this returns: leave the run the time to end
        // at its next exchange and be recorded (the system allows about 5 s).
        Sleep(4000);
    }
    return TRUE;
}

}  // namespace

StopSignalWatcher::StopSignalWatcher(std::function<void(const QString&)> onStop, QObject* parent)
    : QObject(parent), onStop_(std::move(onStop)) {
    watcher.store(this);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignalWatcher::~StopSignalWatcher() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    watcher.store(nullptr);
}

}  // namespace flashmere
