#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "frontend/stop_request.h"
#include "operator/operator_panel.h"

namespace flashmere::cli {

// The operator panel of the command line: every message as a line in the
// chosen language, progress bars and the reboot countdown redrawn in place
// on a terminal (plain lines otherwise), or one JSON object per event.
class ConsolePanel final : public OperatorPanel {
  public:
    struct Style {
        int languageIndex = 0;
        bool json = false;
        bool terminal = false;  // redraw bars in place
        bool traces = false;    // print every frame sent and received, with its time
        // The manifest row of a fleet's device: every JSON event and error
        // line names it ("row" first; a message's own row is then
        // "message_row"). 0 outside a fleet.
        int fleetRow = 0;
    };

    ConsolePanel(const OperatorOptions& options, Style style, std::FILE* out = stdout);

    OperatorOptions captureOptions() override { return options_; }
    void storeLinkSettings(std::uint8_t, const LinkSettings&) override {}

    void showMessage(MessageRow row) override;
    void showMessageReason(const std::string& reason) override;
    void setLamp(LampColour colour) override;
    void setBusyIndicator(bool on) override;
    void setProgramRange(int maximum) override { bar(program_, -1, maximum); }
    void setProgramPosition(int position) override { bar(program_, position, -1); }
    void setVerifyRange(int maximum) override { bar(verify_, -1, maximum); }
    void setVerifyPosition(int position) override { bar(verify_, position, -1); }
    // Kept for the next page's progress: its percent and time left.
    void showRunTimes(const RunTimes& times) override { times_ = times; }
    void setErrorCounter(ErrorCounter counter, int value) override;
    void setLineTrace(const std::string&) override {}
    void setPageTrace(const std::string&) override {}
    void showDeviceField(DeviceField panel, const std::string& text) override;
    void showDeviceId(int position) override;
    void tone(int frequencyHz, int durationMs) override;
    void showRebootWait(int rebootSeconds) override;
    void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) override;
    void closeRebootWait() override;
    // A stopped run's reboot wait ends at its next tick: the device has its
    // program and restarts on its own.
    bool rebootWaitClosedByOperator() override { return stop_ && stop_->requested(); }
    void stopWaitsWhen(std::shared_ptr<const StopRequest> stop) { stop_ = std::move(stop); }
    std::string noReplyAdvice(bool serialLink) const override {
        return std::string("is --id right? (flashmere-cli scan lists the IDs that answer)") +
               (serialLink ? "; are --com and --mode right?" : "");
    }
    std::string bootLoaderAdvice() const override {
        return "The device now stays in its boot loader without a program to run: run the same "
               "flashmere-cli upgrade command again.";
    }

    // The window's TX and RX boxes show a part of the traffic; the console
    // traces all of it, from the wire.
    void setSentTrace(const std::string&) override {}
    void setReceivedTrace(const std::string&) override {}
    void wireSent(std::span<const std::uint8_t> frame) override;
    void wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) override;
    void linkNote(const std::string& text) override;

    // A service command's own words: the stage it shows for row instead of
    // the message table's text, and the names of the two bars.
    void nameStage(MessageRow row, std::string text);
    void nameBars(std::string program, std::string verify);
    // The erase's bar counts toward the window's fixed maximum of 96, which
    // is neither the image's pages nor its blocks: shown as a percentage, so
    // that the only count said is the blocks of the ending.
    void showProgramBarAsPercent() { program_.percent = true; }

    int counter(ErrorCounter which) const { return counters_[static_cast<int>(which)]; }
    // The reason given with the last message, empty when none was.
    const std::string& reason() const { return reason_; }
    // The serial number the device reported, empty when none did.
    const std::string& deviceSerial() const { return serial_; }

  private:
    // The window's bars take the index of the page just handled as their
    // position; the console counts pages done instead, so the first page
    // done shows as 1 and the last as the maximum.
    struct Bar {
        std::string name;
        int done = 0;
        int maximum = 0;
        bool counting = false;  // a range was set: positions are pages handled
        int lastPrinted = -1;   // plain output: last tenth printed
        bool percent = false;   // show the share done, not the count
    };
    void bar(Bar& b, int position, int maximum);
    void endInPlaceLine();
    void jsonEvent(const std::string& fields);
    void traceLine(const char* direction, const std::string& text);
    void errorLine(const std::string& text);

    OperatorOptions options_;
    Style style_;
    std::FILE* out_;
    Bar program_{"program"};
    Bar verify_{"verify"};
    std::optional<MessageRow> stageRow_;
    std::string stageText_;
    int counters_[3] = {0, 0, 0};
    bool inPlaceLine_ = false;
    int lastRebootSecond_ = -1;
    std::optional<RunTimes> times_;  // of the page whose position comes next
    std::string reason_;
    std::shared_ptr<const StopRequest> stop_;
    std::string serial_;
};

// Text from outside (a device's name, a reason that quotes one) made inert
// for a terminal: control characters (C0, DEL and C1) and bytes that are not
// valid UTF-8 become \xNN of each byte; valid UTF-8 stays as it is.
std::string consoleText(std::string_view text);

// A JSON string literal of the text (quotes and escapes included), always
// valid UTF-8: control characters become \u00NN, and so does each byte that
// is not valid UTF-8 (\u00NN of the byte's value, the character Latin-1
// gives it); valid UTF-8 stays as it is.
std::string jsonString(std::string_view text);

}  // namespace flashmere::cli
