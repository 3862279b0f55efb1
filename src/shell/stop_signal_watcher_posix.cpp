#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <utility>

#include "shell/stop_signal_watcher.h"

namespace flashmere {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction previous[3];
// The handler only writes the signal's number into this pair; the window's
// thread reads it through a notifier.
int signalPair[2] = {-1, -1};

void onStopSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPair[1], &byte, 1);
    errno = saved;
}

QString signalName(int signal) {
    switch (signal) {
        case SIGTERM:
            return QStringLiteral("SIGTERM");
        case SIGHUP:
            return QStringLiteral("SIGHUP");
        default:
            return QStringLiteral("SIGINT");
    }
}

}  // namespace

StopSignalWatcher::StopSignalWatcher(std::function<void(const QString&)> onStop, QObject* parent)
    : QObject(parent), onStop_(std::move(onStop)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0) {
        signalPair[0] = signalPair[1] = -1;
        return;  // the signals keep their earlier handling
    }
    ::fcntl(signalPair[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(signalPair[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(signalPair[0], &byte, 1) == 1) {
            deliver(signalName(byte));
        }
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        // A signal ignored by whoever started the window stays ignored
        // (nohup, a shell's background job).
        sigaction(kStopSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) {
            sigaction(kStopSignals[i], &action, nullptr);
        }
    }
}

StopSignalWatcher::~StopSignalWatcher() {
    if (signalPair[0] < 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(kStopSignals[i], &previous[i], nullptr);
    }
    ::close(signalPair[0]);
    ::close(signalPair[1]);
    signalPair[0] = signalPair[1] = -1;
}

}  // namespace flashmere
