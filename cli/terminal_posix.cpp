#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "terminal.h"

namespace flashmere::cli {
namespace {

std::atomic<void (*)()> interruptCallback{nullptr};
struct sigaction previousAction {};

void onSignal(int) {
    if (auto* callback = interruptCallback.load()) {
        callback();
    }
}

}  // namespace

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void prepareStandardStreams() {}

bool stdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

std::size_t terminalColumnCount() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
        return size.ws_col;
    }
    return 0;
}

void startThreadOutsideInterrupts(const std::function<void()>& start) {
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

InterruptHandler::InterruptHandler(void (*onInterrupt)()) {
    interruptCallback.store(onInterrupt);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousAction);
}

InterruptHandler::~InterruptHandler() {
    sigaction(SIGINT, &previousAction, nullptr);
    interruptCallback.store(nullptr);
}

}  // namespace flashmere::cli
