#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <mutex>

#include "upgrade/operator_panel.h"

namespace flashmere {

class TfrmModule;

// The main window as a device operation sees it. The operation calls it from
// its worker thread; every call that touches a widget is handed to the
// window's thread as a queued call, so it never blocks the run. The inputs
// are a snapshot taken on the window's thread before the run starts.
class WindowPanel final : public OperatorPanel {
  public:
    explicit WindowPanel(TfrmModule& window);

    // Taken by the window before the worker starts.
    void setSnapshot(const OperatorOptions& options);

    OperatorOptions captureOptions() override;
    void storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) override;
    void setPnMsg(MessageRow row) override;
    void setPnMsgReason(const std::string& reason) override;
    void setLamp(LampColour colour) override;
    void setBusyIndicator(bool on) override;
    void setProgramRange(int maximum) override;
    void setProgramPosition(int position) override;
    void setVerifyRange(int maximum) override;
    void setVerifyPosition(int position) override;
    void setErrorCounter(ErrorCounter counter, int value) override;
    void setEdtPage(const std::string& text) override;
    void setEdtPage1(const std::string& text) override;
    void setDevicePanel(DevicePanel panel, const std::string& text) override;
    void setSbID(int position) override;
    void tone(int frequencyHz, int durationMs) override;
    void showRebootWait(int rebootSeconds) override;
    void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) override;
    void closeRebootWait() override;
    bool rebootWaitClosedByOperator() override;

    void setEdtTX(const std::string& text) override;
    void setEdtRX(const std::string& text) override;
    void linkNote(const std::string& text) override;

    // Called on the window's thread when the operator closes the wait.
    void markRebootWaitClosed() { rebootWaitClosed_ = true; }

  private:
    // Runs f on the window's thread: at once when already there, else queued.
    void post(std::function<void(TfrmModule&)> f);

    QPointer<TfrmModule> window_;
    std::mutex snapshotMutex_;
    OperatorOptions snapshot_;
    std::atomic<bool> rebootWaitClosed_{false};
};

}  // namespace flashmere
