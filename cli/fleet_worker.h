#pragma once

#include <QThread>
#include <cstddef>
#include <functional>

namespace flashmere::cli {

// A fleet device run's thread: a small stack, sleeps whose wake-ups the
// system may gather with the others', and no event loop of the system's. A run only blocks in timed
// waits on its own socket or port, and those waits poll the descriptor themselves; the GLib event
// dispatcher a QThread would otherwise get costs a wake-up descriptor and a main context per
// thread, which is what a thousand devices at once ran out of. Events posted to such a thread are
// never delivered, timers never fire: nothing run on it may rely on either.
class FleetWorker final : public QThread {
  public:
    // Room for the deepest call of a run, system name look-ups included,
    // with a wide margin (sanitizer builds take several times the stack).
    static constexpr std::size_t kStackBytes = 512 * 1024;

    explicit FleetWorker(std::function<void()> body);
    ~FleetWorker() override;
    FleetWorker(const FleetWorker&) = delete;
    FleetWorker& operator=(const FleetWorker&) = delete;

    // Starts the thread; false when the system would not create it.
    bool launch();

  private:
    void run() override;

    std::function<void()> body_;
};

}  // namespace flashmere::cli
