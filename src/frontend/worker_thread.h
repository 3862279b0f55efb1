#pragma once

#include <QThread>
#include <functional>
#include <utility>

namespace flashmere {

// A thread that runs one function, for a device operation of the window or
// of a fleet. Not QThread::create: that runs the function inside
// std::call_once, and ThreadSanitizer, told to skip the memory calls of the
// uninstrumented Qt (the tsan preset), then skips the whole function too.
class WorkerThread final : public QThread {
  public:
    explicit WorkerThread(std::function<void()> body) : body_(std::move(body)) {}

  private:
    void run() override { body_(); }

    std::function<void()> body_;
};

}  // namespace flashmere
