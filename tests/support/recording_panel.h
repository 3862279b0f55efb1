#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "operator/operator_panel.h"

namespace flashmere::testing {

// An operator panel that keeps everything a run shows, for assertions.
class RecordingPanel : public OperatorPanel {
  public:
    explicit RecordingPanel(OperatorOptions opts = {}) : options(std::move(opts)) {}

    OperatorOptions options;
    std::vector<MessageRow> messages;
    std::string reason;               // the reason of the last message, if any
    std::vector<std::string> events;  // every call in order, as short text
    LampColour lamp = LampColour::Red;
    bool busy = false;
    int programMax = -1, programPos = -1, verifyMax = -1, verifyPos = -1;
    std::vector<RunTimes> times;  // one per page, before its position
    std::array<int, 3> counters{};
    std::array<std::string, 6> deviceFields{};
    int shownDeviceId = -1;
    std::vector<std::pair<int, int>> tones;
    std::vector<std::string> rebootCaptions;
    int rebootShown = 0, rebootClosed = 0;
    int storedLinkSettings = 0;
    std::string sentTrace, receivedTrace, lineTrace, pageTrace;
    std::vector<std::string> notes;
    bool closeRebootWaitEarly = false;
    // Closed by the operator once this many captions were shown.
    std::size_t closeRebootWaitAfter = SIZE_MAX;

    OperatorOptions captureOptions() override { return options; }
    void storeLinkSettings(std::uint8_t, const LinkSettings&) override {
        ++storedLinkSettings;
        events.push_back("store");
    }
    void showMessage(MessageRow row) override {
        messages.push_back(row);
        reason.clear();
        events.push_back("msg " + std::to_string(static_cast<int>(row)));
    }
    void showMessageReason(const std::string& text) override {
        reason = text;
        events.push_back("reason " + text);
    }
    void setLamp(LampColour colour) override {
        lamp = colour;
        events.push_back(colour == LampColour::Red ? "lamp red" : "lamp yellow");
    }
    void setBusyIndicator(bool on) override {
        busy = on;
        events.push_back(on ? "busy on" : "busy off");
    }
    void setProgramRange(int maximum) override { programMax = maximum; }
    void setProgramPosition(int position) override { programPos = position; }
    void setVerifyRange(int maximum) override { verifyMax = maximum; }
    void setVerifyPosition(int position) override { verifyPos = position; }
    void showRunTimes(const RunTimes& t) override { times.push_back(t); }
    void setErrorCounter(ErrorCounter counter, int value) override {
        counters[static_cast<int>(counter)] = value;
    }
    void setLineTrace(const std::string& text) override { lineTrace = text; }
    void setPageTrace(const std::string& text) override { pageTrace = text; }
    void showDeviceField(DeviceField panel, const std::string& text) override {
        deviceFields[static_cast<int>(panel)] = text;
    }
    void showDeviceId(int position) override { shownDeviceId = position; }
    void tone(int hz, int ms) override {
        tones.emplace_back(hz, ms);
        events.push_back("tone " + std::to_string(hz) + " " + std::to_string(ms));
    }
    void showRebootWait(int) override { ++rebootShown; }
    void updateRebootWait(const std::string& caption, int, int) override {
        rebootCaptions.push_back(caption);
    }
    void closeRebootWait() override { ++rebootClosed; }
    bool rebootWaitClosedByOperator() override {
        return closeRebootWaitEarly || rebootCaptions.size() >= closeRebootWaitAfter;
    }
    void setSentTrace(const std::string& text) override { sentTrace = text; }
    void setReceivedTrace(const std::string& text) override { receivedTrace = text; }
    void linkNote(const std::string& text) override { notes.push_back(text); }

    int counter(ErrorCounter c) const { return counters[static_cast<int>(c)]; }
    MessageRow lastMessage() const {
        return messages.empty() ? MessageRow::msgSelectFile : messages.back();
    }
};

}  // namespace flashmere::testing
