#include "stoppable_run.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "frontend/worker_thread.h"
#include "stop_signals.h"

namespace flashmere::cli {

void runStoppable(StopRequest& stop, const std::function<void()>& operation) {
    std::exception_ptr thrown;
    // The operation's end is handed over under this mutex (not only by the
    // thread's end), so that ThreadSanitizer sees what it wrote.
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    WorkerThread worker([&] {
        std::exception_ptr caught;
        try {
            operation();
        } catch (...) {
            caught = std::current_exception();
        }
        std::lock_guard lock(mutex);
        thrown = caught;
        done = true;
        ended.notify_all();
    });
    installStopSignals();
    startWithoutStopSignals([&] { worker.start(); });
    {
        // The handlers only count; this thread turns the count into the stop.
        std::unique_lock lock(mutex);
        while (!ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
            if (stopRequests() > 0) {
                stop.request(stoppedBySignal(firstStopName()));
            }
        }
    }
    worker.wait();
    restoreStopSignals();
    if (thrown) {
        std::rethrow_exception(thrown);
    }
}

std::string reasonOfStoppedRun(const StopRequest& stop, const std::string& reason) {
    const std::string why = stop.reason();
    if (reason.find(why) != std::string::npos) {
        return reason;
    }
    return reason.empty() ? why : why + "; " + reason;
}

}  // namespace flashmere::cli
