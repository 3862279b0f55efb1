#include "stoppable_run.h"

#include <QDeadlineTimer>
#include <exception>

#include "frontend/worker_thread.h"
#include "stop_signals.h"

namespace flashmere::cli {

void runStoppable(StopRequest& stop, const std::function<void()>& operation) {
    std::exception_ptr thrown;
    WorkerThread worker([&] {
        try {
            operation();
        } catch (...) {
            thrown = std::current_exception();
        }
    });
    installStopSignals();
    startWithoutStopSignals([&] { worker.start(); });
    // The handlers only count; this thread turns the count into the stop.
    while (!worker.wait(QDeadlineTimer(50))) {
        if (stopRequests() > 0) {
            stop.request(stoppedBySignal(firstStopName()));
        }
    }
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
