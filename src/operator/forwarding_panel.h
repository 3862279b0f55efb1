#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "operator/operator_panel.h"

namespace flashmere {

// An operator panel in front of another that passes every call on to it
// unchanged; a panel that adds to a few calls derives from it and overrides
// only those, calling the base to pass them on.
class ForwardingPanel : public OperatorPanel {
  public:
    explicit ForwardingPanel(OperatorPanel& inner) : inner_(inner) {}

    OperatorOptions captureOptions() override { return inner_.captureOptions(); }
    void storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) override {
        inner_.storeLinkSettings(linkKind, link);
    }
    void showMessage(MessageRow row) override { inner_.showMessage(row); }
    void showMessageReason(const std::string& reason) override { inner_.showMessageReason(reason); }
    void setLamp(LampColour colour) override { inner_.setLamp(colour); }
    void setBusyIndicator(bool on) override { inner_.setBusyIndicator(on); }
    void setProgramRange(int maximum) override { inner_.setProgramRange(maximum); }
    void setProgramPosition(int position) override { inner_.setProgramPosition(position); }
    void setVerifyRange(int maximum) override { inner_.setVerifyRange(maximum); }
    void setVerifyPosition(int position) override { inner_.setVerifyPosition(position); }
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
    void noteAnsweringDevice(const std::string& model, const std::string& serial) override {
        inner_.noteAnsweringDevice(model, serial);
    }
    std::string bootLoaderAdvice() const override { return inner_.bootLoaderAdvice(); }
    void setSentTrace(const std::string& text) override { inner_.setSentTrace(text); }
    void setReceivedTrace(const std::string& text) override { inner_.setReceivedTrace(text); }
    void linkNote(const std::string& text) override { inner_.linkNote(text); }
    void wireSent(std::span<const std::uint8_t> frame) override { inner_.wireSent(frame); }
    void wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) override {
        inner_.wireReceived(bytes, ending);
    }

  private:
    OperatorPanel& inner_;
};

}  // namespace flashmere
