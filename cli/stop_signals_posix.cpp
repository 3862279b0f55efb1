#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "stop_signals.h"

namespace flashmere::cli {
namespace {

std::atomic<int> requests{0};
std::atomic<int> firstSignal{0};
int depth = 0;  // nested installs, on the one thread that installs

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
struct sigaction previousPipe;

void onStopSignal(int signal) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    requests.fetch_add(signal == SIGINT ? 1 : 2);
}

}  // namespace

void installStopSignals() {
    if (depth++ > 0) {
        return;
    }
    requests.store(0);
    firstSignal.store(0);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        // A signal ignored by whoever started the run stays ignored: nohup
        // (SIGHUP), a shell's background job (SIGINT).
        sigaction(kStopSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) {
            sigaction(kStopSignals[i], &action, nullptr);
        }
    }
    // A reader of stdout that went away (an ssh session closed, a pipe's
    // reader ended) must not end the run before its report is written: the
    // write fails instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

void restoreStopSignals() {
    if (depth == 0 || --depth > 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(kStopSignals[i], &previous[i], nullptr);
    }
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

int stopRequests() {
    return requests.load();
}

std::string firstStopName() {
    switch (firstSignal.load()) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return {};
    }
}

void startWithoutStopSignals(const std::function<void()>& start) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (const int signal : kStopSignals) {
        sigaddset(&stops, signal);
    }
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    start();  // the new thread inherits the mask
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace flashmere::cli
