#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "frontend/stop_request.h"
#include "operator/operator_panel.h"
#include "shell/update_coalescer.h"

class QProgressBar;

namespace flashmere {

class MainWindow;

// The main window as a device operation sees it. The operation calls it from
// its worker thread; every call that touches a widget is handed to the
// window's thread as a queued call, so it never blocks the run. The inputs
// are a snapshot taken on the window's thread before the run starts. The
// bar positions and the trace boxes change once or more per page: they are
// coalesced, the last state always shown: the bars at most about 30 times a
// second, the four trace boxes (below the visible area, each text laid out
// anew on every change) 4 times a second. Every other call first applies
// what is pending, so the window sees the calls in the order they came.
class WindowPanel final : public OperatorPanel {
  public:
    explicit WindowPanel(MainWindow& window, Clock& clock = systemClock());

    // Applies the coalesced updates still pending; on the window's thread.
    void flushUpdates() {
        updates_.flush();
        traces_.flush();
    }

    // Taken by the window before the worker starts.
    void setSnapshot(const OperatorOptions& options);

    OperatorOptions captureOptions() override;
    void storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) override;
    void showMessage(MessageRow row) override;
    void showMessageReason(const std::string& reason) override;
    void setLamp(LampColour colour) override;
    void setBusyIndicator(bool on) override;
    void setProgramRange(int maximum) override;
    void setProgramPosition(int position) override;
    void setVerifyRange(int maximum) override;
    void setVerifyPosition(int position) override;
    void showRunTimes(const RunTimes& times) override;
    void setErrorCounter(ErrorCounter counter, int value) override;
    void setLineTrace(const std::string& text) override;
    void setPageTrace(const std::string& text) override;
    void showDeviceField(DeviceField panel, const std::string& text) override;
    void showDeviceId(int position) override;
    void tone(int frequencyHz, int durationMs) override;
    void showRebootWait(int rebootSeconds) override;
    void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) override;
    void closeRebootWait() override;
    bool rebootWaitClosedByOperator() override;
    std::string noReplyAdvice(bool serialLink) const override;
    std::string bootLoaderAdvice() const override;

    void setSentTrace(const std::string& text) override;
    void setReceivedTrace(const std::string& text) override;
    void linkNote(const std::string& text) override;

    // Called on the window's thread when the operator closes the wait.
    void markRebootWaitClosed() { rebootWaitClosed_ = true; }
    // A stopped operation's reboot wait ends at its next tick.
    void stopWaitsWhen(std::shared_ptr<const StopRequest> stop) { stop_ = std::move(stop); }

  private:
    // Runs f on the window's thread: at once when already there, else queued;
    // the coalesced updates made before this call are applied first.
    void post(std::function<void(MainWindow&)> f);
    // Keeps f as the latest update of its slot; the coalescer applies it.
    void coalesce(UpdateCoalescer& coalescer, UpdateCoalescer::Slot slot,
                  std::function<void(MainWindow&)> f);
    // The coalescer's timer request: a single shot on the window's thread.
    UpdateCoalescer::Arm armOnWindowThread(UpdateCoalescer WindowPanel::*coalescer);
    // Runs f on the window's thread, without applying pending updates.
    void postRaw(std::function<void(MainWindow&)> f);

    QPointer<MainWindow> window_;
    // Children of the window, looked up once: their updates come with every
    // page. The calls reach them only while the window lives.
    QProgressBar* programBar_;
    QProgressBar* verifyBar_;
    const QString storePath_;  // the settings file
    std::mutex snapshotMutex_;
    OperatorOptions snapshot_;
    std::atomic<bool> rebootWaitClosed_{false};
    std::shared_ptr<const StopRequest> stop_;
    UpdateCoalescer updates_;  // the progress bars
    UpdateCoalescer traces_;   // edtTX, edtRX, edtPage, edtPage1
};

}  // namespace flashmere
