#pragma once

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>

class QLabel;
class QProgressBar;

namespace flashmere {

// "device is rebooting,please wait ..... 007/060 Seconds"
QString rebootWaitCaption(int elapsedSeconds, int rebootSeconds);

// The reboot-wait window. The upgrade engine drives it tick by tick
// (prepare, update, finish); it can also count on its own with countdownTimer
// for a caller on the window's thread (startCountdown). Closing it with the
// close box emits closedByOperator.
class RebootWaitDialog : public QDialog {
    Q_OBJECT
  public:
    using TimeSource = std::function<std::int64_t()>;  // milliseconds

    explicit RebootWaitDialog(QWidget* parent = nullptr);

    QProgressBar* progressBar = nullptr;
    QLabel* captionLabel = nullptr;
    QTimer countdownTimer;
    int rebootSeconds = 60;
    int elapsedSeconds = 0;

    // Bar range 1..seconds + 1 at position 1, caption at 000 seconds.
    void prepare(int seconds);
    void update(const QString& caption, int barPosition, int barMaximum);
    // Closes the window from the program's side (no closedByOperator).
    void finish();

    // Counts on its own: every 500 ms the caption and the bar follow the
    // whole seconds since the start, and the first tick past rebootSeconds
    // closes the window.
    void startCountdown(int seconds, TimeSource now);
    void countOneTick();

  signals:
    void closedByOperator();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    TimeSource now_;
    std::int64_t startMs_ = 0;
    bool tickBusy_ = false;  // a tick is under way or the wait has ended
    bool closingByProgram_ = false;
};

}  // namespace flashmere
