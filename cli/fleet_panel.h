#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "console_panel.h"
#include "operator/operator_panel.h"

namespace flashmere::cli {

// What one device's run has shown so far, as the fleet's display and report
// read it while the run goes on.
struct FleetDeviceView {
    std::string stage;  // the last message
    std::string reason;
    std::string bar;  // "program" or "verify"
    int position = 0;
    int maximum = 0;
    int counters[3] = {0, 0, 0};
    std::string model;
    std::string version;
    std::string serial;
};

// The operator panel of one device of a fleet. Every run has its own: the
// options come from its manifest row, what it shows is kept for the report
// under a lock (the run's worker writes, the fleet's thread reads), and it is
// passed on to the upgrade's JSON events (each with the row as a field) and
// to the row's log file when those are asked for.
class FleetPanel final : public OperatorPanel {
  public:
    // jsonOut: stdout for --json (may be null); logFile: the row's trace log
    // (may be null, owned by the panel).
    FleetPanel(const OperatorOptions& options, int row, int languageIndex, std::FILE* jsonOut,
               std::FILE* logFile);
    ~FleetPanel() override;

    FleetDeviceView view() const;
    // Closes the row's log: empty when every line reached it (or there is
    // none), else the system's reason.
    std::string closeLog();

    OperatorOptions captureOptions() override { return options_; }
    void storeLinkSettings(std::uint8_t, const LinkSettings&) override {}
    void showMessage(MessageRow row) override;
    void showMessageReason(const std::string& reason) override;
    void setLamp(LampColour colour) override;
    void setBusyIndicator(bool on) override;
    void setProgramRange(int maximum) override;
    void setProgramPosition(int position) override;
    void setVerifyRange(int maximum) override;
    void setVerifyPosition(int position) override;
    void showRunTimes(const RunTimes& times) override {
        forward([&](ConsolePanel& p) { p.showRunTimes(times); });
    }
    void setErrorCounter(ErrorCounter counter, int value) override;
    void setLineTrace(const std::string&) override {}
    void setPageTrace(const std::string&) override {}
    void showDeviceField(DeviceField panel, const std::string& text) override;
    void showDeviceId(int position) override;
    void tone(int frequencyHz, int durationMs) override;
    void showRebootWait(int rebootSeconds) override;
    void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) override;
    void closeRebootWait() override;
    void setSentTrace(const std::string& text) override;
    void setReceivedTrace(const std::string& text) override;
    void wireSent(std::span<const std::uint8_t> frame) override;
    void wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) override;
    void linkNote(const std::string& text) override;

  private:
    template <typename Call>
    void forward(Call call) {
        if (json_) {
            call(*json_);
        }
        if (log_) {
            call(*log_);
        }
    }
    void setBar(const char* name, int position, int maximum);

    OperatorOptions options_;
    int row_;
    int languageIndex_;
    std::FILE* logFile_ = nullptr;
    std::unique_ptr<ConsolePanel> json_;
    std::unique_ptr<ConsolePanel> log_;
    mutable std::mutex mutex_;
    FleetDeviceView view_;
};

// Writes whole lines to out under one process-wide lock, so lines of runs
// that go on at once never mix.
void writeLine(std::FILE* out, const std::string& line);

}  // namespace flashmere::cli
