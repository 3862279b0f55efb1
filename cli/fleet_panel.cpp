#include "fleet_panel.h"

#include <cstring>
#include <utility>

#include "firmware/durable_file.h"
#include "frontend/message_table.h"

namespace flashmere::cli {
namespace {

std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void writeLine(std::FILE* out, const std::string& line) {
    std::lock_guard lock(outputLock());
    const std::string whole = line + "\n";  // one call: see ConsolePanel's JSON events
    std::fwrite(whole.data(), 1, whole.size(), out);
    std::fflush(out);
}

FleetPanel::FleetPanel(const OperatorOptions& options, int row, int languageIndex,
                       std::FILE* jsonOut, std::FILE* logFile)
    : options_(options), row_(row), languageIndex_(languageIndex), logFile_(logFile) {
    if (jsonOut != nullptr) {
        ConsolePanel::Style style;
        style.languageIndex = languageIndex;
        style.json = true;
        style.fleetRow = row;
        json_ = std::make_unique<ConsolePanel>(options, style, jsonOut);
    }
    if (logFile_ != nullptr) {
        ConsolePanel::Style style;
        style.languageIndex = languageIndex;
        style.traces = true;
        log_ = std::make_unique<ConsolePanel>(options, style, logFile_);
    }
}

FleetPanel::~FleetPanel() {
    closeLog();
}

std::string FleetPanel::closeLog() {
    log_.reset();
    std::FILE* file = std::exchange(logFile_, nullptr);
    return file != nullptr ? flashmere::closeLog(file) : std::string();
}

FleetDeviceView FleetPanel::view() const {
    std::lock_guard lock(mutex_);
    return view_;
}

void FleetPanel::showMessage(MessageRow row) {
    {
        std::lock_guard lock(mutex_);
        view_.stage = textOf(row, languageIndex_);
        view_.reason.clear();
    }
    forward([&](ConsolePanel& p) { p.showMessage(row); });
}

void FleetPanel::showMessageReason(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        view_.reason = reason;
    }
    // The console panel's plain form puts reasons on stderr; the row's log
    // keeps its own, and the fleet prints reasons once a device is done.
    if (json_) {
        json_->showMessageReason(reason);
    }
    if (logFile_ != nullptr) {
        std::fprintf(logFile_, "reason: %s\n", reason.c_str());
        std::fflush(logFile_);
    }
}

void FleetPanel::setLamp(LampColour colour) {
    forward([&](ConsolePanel& p) { p.setLamp(colour); });
}

void FleetPanel::setBusyIndicator(bool on) {
    forward([&](ConsolePanel& p) { p.setBusyIndicator(on); });
}

void FleetPanel::setBar(const char* name, int position, int maximum) {
    std::lock_guard lock(mutex_);
    if (view_.bar != name) {
        view_.bar = name;
        view_.position = 0;
        view_.maximum = 0;
    }
    if (maximum >= 0) {
        view_.maximum = maximum;
        view_.position = 0;
    }
    if (position >= 0) {
        view_.position = position;
    }
}

void FleetPanel::setProgramRange(int maximum) {
    setBar("program", -1, maximum);
    forward([&](ConsolePanel& p) { p.setProgramRange(maximum); });
}

void FleetPanel::setProgramPosition(int position) {
    setBar("program", position, -1);
    forward([&](ConsolePanel& p) { p.setProgramPosition(position); });
}

void FleetPanel::setVerifyRange(int maximum) {
    setBar("verify", -1, maximum);
    forward([&](ConsolePanel& p) { p.setVerifyRange(maximum); });
}

void FleetPanel::setVerifyPosition(int position) {
    setBar("verify", position, -1);
    forward([&](ConsolePanel& p) { p.setVerifyPosition(position); });
}

void FleetPanel::setErrorCounter(ErrorCounter counter, int value) {
    {
        std::lock_guard lock(mutex_);
        view_.counters[static_cast<int>(counter)] = value;
    }
    forward([&](ConsolePanel& p) { p.setErrorCounter(counter, value); });
}

void FleetPanel::showDeviceField(DeviceField panel, const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (panel == DeviceField::Model) {
            view_.model = text;
        } else if (panel == DeviceField::FirmwareVersion) {
            view_.version = text;
        } else if (panel == DeviceField::SerialNumber) {
            view_.serial = text;
        }
    }
    forward([&](ConsolePanel& p) { p.showDeviceField(panel, text); });
}

void FleetPanel::showDeviceId(int position) {
    options_.deviceId = position;
    forward([&](ConsolePanel& p) { p.showDeviceId(position); });
}

void FleetPanel::tone(int frequencyHz, int durationMs) {
    forward([&](ConsolePanel& p) { p.tone(frequencyHz, durationMs); });
}

void FleetPanel::showRebootWait(int rebootSeconds) {
    forward([&](ConsolePanel& p) { p.showRebootWait(rebootSeconds); });
}

void FleetPanel::updateRebootWait(const std::string& caption, int barPosition, int barMaximum) {
    {
        std::lock_guard lock(mutex_);
        view_.bar = "reboot";
        view_.position = barPosition;
        view_.maximum = barMaximum;
    }
    forward([&](ConsolePanel& p) { p.updateRebootWait(caption, barPosition, barMaximum); });
}

void FleetPanel::closeRebootWait() {
    forward([&](ConsolePanel& p) { p.closeRebootWait(); });
}

void FleetPanel::setSentTrace(const std::string& text) {
    if (log_) {
        log_->setSentTrace(text);
    }
}

// The row's log traces every frame from the wire, as upgrade --trace does.
void FleetPanel::wireSent(std::span<const std::uint8_t> frame) {
    if (log_) {
        log_->wireSent(frame);
    }
}

void FleetPanel::wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) {
    if (log_) {
        log_->wireReceived(bytes, ending);
    }
}

void FleetPanel::setReceivedTrace(const std::string& text) {
    if (log_) {
        log_->setReceivedTrace(text);
    }
}

void FleetPanel::linkNote(const std::string& text) {
    if (logFile_ != nullptr) {
        std::fprintf(logFile_, "link: %s\n", text.c_str());
        std::fflush(logFile_);
    }
    writeLine(stderr, "flashmere-cli: row " + std::to_string(row_) + ": " + text);
}

}  // namespace flashmere::cli
