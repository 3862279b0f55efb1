#include "fleet_panel.h"

#include <cstring>

#include "frontend/message_table.h"
#include "line_stream.h"

namespace flashmere::cli {
namespace {

std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

// The device's row as the first field of each JSON line.
std::string withRow(std::string line, int row) {
    if (!line.empty() && line.front() == '{') {
        // "row" names the manifest row here; a message event's own row
        // number (the message) moves to "message_row".
        if (const auto own = line.find(",\"row\":"); own != std::string::npos) {
            line.replace(own, 7, ",\"message_row\":");
        }
        line.insert(1, "\"row\":" + std::to_string(row) + ",");
    }
    return line;
}

std::FILE* openRowTagger(std::FILE* out, int row) {
    return openLineStream([out, row](std::string line) { writeLine(out, withRow(line, row)); });
}

}  // namespace

void writeLine(std::FILE* out, const std::string& line) {
    std::lock_guard lock(outputLock());
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

FleetPanel::FleetPanel(const OperatorOptions& options, int row, int languageIndex,
                       std::FILE* jsonOut, std::FILE* logFile)
    : options_(options), row_(row), languageIndex_(languageIndex), logFile_(logFile) {
    if (jsonOut != nullptr) {
        jsonStream_ = openRowTagger(jsonOut, row);
    }
    if (jsonStream_ != nullptr) {
        ConsolePanel::Style style;
        style.languageIndex = languageIndex;
        style.json = true;
        json_ = std::make_unique<ConsolePanel>(options, style, jsonStream_);
    }
    if (logFile_ != nullptr) {
        ConsolePanel::Style style;
        style.languageIndex = languageIndex;
        style.traces = true;
        log_ = std::make_unique<ConsolePanel>(options, style, logFile_);
    }
}

FleetPanel::~FleetPanel() {
    json_.reset();
    log_.reset();
    if (jsonStream_ != nullptr) {
        closeLineStream(jsonStream_);
    }
    if (logFile_ != nullptr) {
        std::fclose(logFile_);
    }
}

FleetDeviceView FleetPanel::view() const {
    std::lock_guard lock(mutex_);
    return view_;
}

void FleetPanel::setPnMsg(MessageRow row) {
    {
        std::lock_guard lock(mutex_);
        view_.stage = textOf(row, languageIndex_);
        view_.reason.clear();
    }
    forward([&](ConsolePanel& p) { p.setPnMsg(row); });
}

void FleetPanel::setPnMsgReason(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        view_.reason = reason;
    }
    // The console panel's plain form puts reasons on stderr; the row's log
    // keeps its own, and the fleet prints reasons once a device is done.
    if (json_) {
        json_->setPnMsgReason(reason);
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

void FleetPanel::setDevicePanel(DevicePanel panel, const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (panel == DevicePanel::pnDeviceModel) {
            view_.model = text;
        } else if (panel == DevicePanel::pnDeviceVER) {
            view_.version = text;
        } else if (panel == DevicePanel::pnDeviceSN) {
            view_.serial = text;
        }
    }
    forward([&](ConsolePanel& p) { p.setDevicePanel(panel, text); });
}

void FleetPanel::setSbID(int position) {
    options_.deviceId = position;
    forward([&](ConsolePanel& p) { p.setSbID(position); });
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

void FleetPanel::setEdtTX(const std::string& text) {
    if (log_) {
        log_->setEdtTX(text);
    }
}

void FleetPanel::setEdtRX(const std::string& text) {
    if (log_) {
        log_->setEdtRX(text);
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
