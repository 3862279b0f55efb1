#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace flashmere {

// Tells the window's thread when the program is asked from outside to end:
// SIGTERM, SIGHUP or SIGINT (a service manager, a closed terminal, Ctrl-C),
// and on Windows a console's Ctrl-C, Ctrl-Break or close. onStop gets the
// request's name ("SIGTERM") on the thread that made the watcher, once per
// request. One watcher at a time; its end gives the signals back their
// earlier handling.
class StopSignalWatcher final : public QObject {
  public:
    explicit StopSignalWatcher(std::function<void(const QString& name)> onStop,
                               QObject* parent = nullptr);
    ~StopSignalWatcher() override;
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // On the watcher's thread: hands a request to onStop.
    void deliver(const QString& name) { onStop_(name); }

  private:
    std::function<void(const QString& name)> onStop_;
};

}  // namespace flashmere
