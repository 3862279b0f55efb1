#include "fleet_worker.h"

#include <QAbstractEventDispatcher>

#include "link/clock.h"

namespace flashmere::cli {
namespace {

// Accepts the registrations that sockets and ports make and never waits or
// delivers: every wait of a device run is a blocking wait of its own.
class NoEventLoop final : public QAbstractEventDispatcher {
  public:
    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    void registerSocketNotifier(QSocketNotifier*) override {}
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, qint64, Qt::TimerType, QObject*) override {}
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject*) override { return true; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
};

}  // namespace

FleetWorker::FleetWorker(std::function<void()> body) : body_(std::move(body)) {
    setStackSize(static_cast<uint>(kStackBytes));
    setEventDispatcher(new NoEventLoop);  // the thread owns it
}

FleetWorker::~FleetWorker() {
    wait();
}

void FleetWorker::run() {
    // A thousand threads sleeping the devices' pauses: waking each on the
    // microsecond cost a sixth more CPU (docs/PERFORMANCE.md).
    allowCoalescedSleeps();
    body_();
}

bool FleetWorker::launch() {
    start();
    // A thread the system refused is neither running nor finished.
    return isRunning() || isFinished();
}

}  // namespace flashmere::cli
