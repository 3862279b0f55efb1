#pragma once

#include "link/clock.h"
#include "operator/operator_panel.h"
#include "upgrade/time_left.h"

namespace flashmere {

// The panel of an upgrade as its stages see it: every call goes on to the
// front end's panel, and each page's position comes with the run's elapsed
// time and time left, measured on the run's clock.
class TimedPanel final : public OperatorPanel {
  public:
    TimedPanel(OperatorPanel& inner, Clock& clock, const KnownPauses& pauses, bool verify)
        : inner_(inner), clock_(clock), estimate_(pauses, verify, clock.nowMs()) {}

    OperatorOptions captureOptions() override { return inner_.captureOptions(); }
    void storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) override {
        inner_.storeLinkSettings(linkKind, link);
    }
    void showMessage(MessageRow row) override { inner_.showMessage(row); }
    void showMessageReason(const std::string& reason) override { inner_.showMessageReason(reason); }
    void setLamp(LampColour colour) override { inner_.setLamp(colour); }
    void setBusyIndicator(bool on) override { inner_.setBusyIndicator(on); }
    void setProgramRange(int maximum) override {
        estimate_.stageStarted(false, maximum, clock_.nowMs());
        inner_.setProgramRange(maximum);
    }
    void setProgramPosition(int position) override {
        timesBefore(position);
        inner_.setProgramPosition(position);
    }
    void setVerifyRange(int maximum) override {
        estimate_.stageStarted(true, maximum, clock_.nowMs());
        inner_.setVerifyRange(maximum);
    }
    void setVerifyPosition(int position) override {
        timesBefore(position);
        inner_.setVerifyPosition(position);
    }
    void showRunTimes(const RunTimes& times) override { inner_.showRunTimes(times); }
    void setErrorCounter(ErrorCounter counter, int value) override {
        inner_.setErrorCounter(counter, value);
    }
    void setLineTrace(const std::string& text) override { inner_.setLineTrace(text); }
    void setPageTrace(const std::string& text) override { inner_.setPageTrace(text); }
    void showDeviceField(DeviceField field, const std::string& text) override {
        inner_.showDeviceField(field, text);
    }
    void showDeviceId(int position) override { inner_.showDeviceId(position); }
    void tone(int frequencyHz, int durationMs) override { inner_.tone(frequencyHz, durationMs); }
    void showRebootWait(int rebootSeconds) override { inner_.showRebootWait(rebootSeconds); }
    void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) override {
        inner_.updateRebootWait(caption, barPosition, barMaximum);
    }
    void closeRebootWait() override { inner_.closeRebootWait(); }
    bool rebootWaitClosedByOperator() override { return inner_.rebootWaitClosedByOperator(); }
    std::string noReplyAdvice(bool serialLink) const override {
        return inner_.noReplyAdvice(serialLink);
    }
    std::string bootLoaderAdvice() const override { return inner_.bootLoaderAdvice(); }
    void noteAnsweringDevice(const std::string& model, const std::string& serial) override {
        inner_.noteAnsweringDevice(model, serial);
    }
    void setSentTrace(const std::string& text) override { inner_.setSentTrace(text); }
    void setReceivedTrace(const std::string& text) override { inner_.setReceivedTrace(text); }
    void linkNote(const std::string& text) override { inner_.linkNote(text); }
    void wireSent(std::span<const std::uint8_t> frame) override { inner_.wireSent(frame); }
    void wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) override {
        inner_.wireReceived(bytes, ending);
    }

  private:
    // Position p after page p was handled: p + 1 pages are done, the
    // range's maximum is the end.
    void timesBefore(int position) {
        RunTimes times;
        if (estimate_.pageDone(position + 1, clock_.nowMs(), times)) {
            inner_.showRunTimes(times);
        }
    }

    OperatorPanel& inner_;
    Clock& clock_;
    TimeLeftEstimate estimate_;
};

}  // namespace flashmere
