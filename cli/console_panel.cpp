#include "console_panel.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "shell/message_table.h"

namespace flashmere {
namespace {

const char* panelName(DevicePanel panel) {
    switch (panel) {
        case DevicePanel::pnDeviceModel:
            return "model";
        case DevicePanel::pnDevicelName:
            return "name";
        case DevicePanel::pnDeviceVER:
            return "version";
        case DevicePanel::pnDeviceISP:
            return "isp";
        case DevicePanel::pnDeviceID:
            return "id";
        case DevicePanel::pnDeviceSN:
            return "serial";
    }
    return "?";
}

const char* counterName(ErrorCounter counter) {
    switch (counter) {
        case ErrorCounter::edErrrE:
            return "erase";
        case ErrorCounter::edErrrP:
            return "program";
        case ErrorCounter::edErrrV:
            return "verify";
    }
    return "?";
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

ConsolePanel::ConsolePanel(const OperatorOptions& options, Style style, std::FILE* out)
    : options_(options), style_(style), out_(out) {}

void ConsolePanel::jsonEvent(const std::string& fields) {
    std::fprintf(out_, "{%s}\n", fields.c_str());
    std::fflush(out_);
}

void ConsolePanel::endInPlaceLine() {
    if (inPlaceLine_) {
        std::fputc('\n', out_);
        inPlaceLine_ = false;
    }
}

void ConsolePanel::setPnMsg(MessageRow row) {
    reason_.clear();
    const std::string& text = textOf(row, style_.languageIndex);
    if (style_.json) {
        jsonEvent("\"event\":\"message\",\"row\":" + std::to_string(static_cast<int>(row)) +
                  ",\"text\":" + jsonString(text));
        return;
    }
    endInPlaceLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void ConsolePanel::setPnMsgReason(const std::string& reason) {
    reason_ = reason;
    if (style_.json) {
        jsonEvent("\"event\":\"reason\",\"text\":" + jsonString(reason));
        return;
    }
    endInPlaceLine();
    std::fflush(out_);
    std::fprintf(stderr, "flashmere-cli: %s\n", reason.c_str());
}

void ConsolePanel::setLamp(LampColour colour) {
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"lamp\",\"colour\":\"") +
                  (colour == LampColour::Red ? "red" : "yellow") + "\"");
    }
}

void ConsolePanel::setBusyIndicator(bool on) {
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"busy\",\"on\":") + (on ? "true" : "false"));
    }
}

void ConsolePanel::bar(Bar& b, const char* name, int position, int maximum) {
    if (maximum >= 0) {
        b.maximum = maximum;
        b.done = 0;
        b.counting = true;
        b.lastPrinted = -1;
    }
    if (position >= 0) {
        // Position p < maximum: page p was handled, so p + 1 are done; the
        // maximum itself is the end. A position before any range (the reset
        // at the start of a run) counts nothing.
        b.done = b.counting ? std::clamp(position + 1, 0, std::max(b.maximum, 0)) : 0;
    }
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"progress\",\"bar\":\"") + name + "\",\"position\":" +
                  std::to_string(b.done) + ",\"maximum\":" + std::to_string(b.maximum));
        return;
    }
    if (b.maximum <= 0 || position < 0) {
        return;
    }
    const int shown = b.done;
    if (style_.terminal) {
        constexpr int kWidth = 40;
        const int filled = shown * kWidth / b.maximum;
        std::fprintf(out_, "\r%-8s [%s%s] %d/%d", name, std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), shown, b.maximum);
        inPlaceLine_ = true;
        std::fflush(out_);
        return;
    }
    // Plain output: a line at every tenth and at the end.
    const int tenth = shown * 10 / b.maximum;
    if (tenth != b.lastPrinted) {
        b.lastPrinted = tenth;
        std::fprintf(out_, "%s %d/%d\n", name, shown, b.maximum);
        std::fflush(out_);
    }
}

void ConsolePanel::setErrorCounter(ErrorCounter counter, int value) {
    const int previous = counters_[static_cast<int>(counter)];
    counters_[static_cast<int>(counter)] = value;
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"counter\",\"counter\":\"") + counterName(counter) +
                  "\",\"value\":" + std::to_string(value));
    } else if (value > previous) {
        endInPlaceLine();
        std::fprintf(out_, "retry: %s errors %d\n", counterName(counter), value);
    }
}

void ConsolePanel::setDevicePanel(DevicePanel panel, const std::string& text) {
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"device\",\"field\":\"") + panelName(panel) +
                  "\",\"text\":" + jsonString(text));
    } else if (!text.empty()) {
        endInPlaceLine();
        std::fprintf(out_, "  device %s: %s\n", panelName(panel), text.c_str());
    }
}

void ConsolePanel::setSbID(int position) {
    options_.deviceId = position;
    if (style_.json) {
        jsonEvent("\"event\":\"id\",\"value\":" + std::to_string(position));
    }
}

void ConsolePanel::tone(int frequencyHz, int durationMs) {
    if (style_.json) {
        jsonEvent("\"event\":\"tone\",\"hz\":" + std::to_string(frequencyHz) +
                  ",\"ms\":" + std::to_string(durationMs));
    }
}

void ConsolePanel::showRebootWait(int rebootSeconds) {
    lastRebootSecond_ = -1;
    if (style_.json) {
        jsonEvent("\"event\":\"reboot-wait\",\"seconds\":" + std::to_string(rebootSeconds));
    }
}

void ConsolePanel::updateRebootWait(const std::string& caption, int barPosition, int barMaximum) {
    if (style_.json) {
        jsonEvent("\"event\":\"reboot-tick\",\"position\":" + std::to_string(barPosition) +
                  ",\"maximum\":" + std::to_string(barMaximum) +
                  ",\"text\":" + jsonString(caption));
        return;
    }
    if (style_.terminal) {
        std::fprintf(out_, "\r%s", caption.c_str());
        inPlaceLine_ = true;
        std::fflush(out_);
    } else if (barPosition != lastRebootSecond_) {
        lastRebootSecond_ = barPosition;
        std::fprintf(out_, "%s\n", caption.c_str());
        std::fflush(out_);
    }
}

void ConsolePanel::closeRebootWait() {
    if (style_.json) {
        jsonEvent("\"event\":\"reboot-done\"");
    } else {
        endInPlaceLine();
    }
}

void ConsolePanel::setEdtTX(const std::string& text) {
    if (style_.traces && !text.empty()) {
        endInPlaceLine();
        std::fprintf(style_.json ? stderr : out_, "TX: %s\n", text.c_str());
    }
}

void ConsolePanel::setEdtRX(const std::string& text) {
    if (style_.traces && !text.empty()) {
        endInPlaceLine();
        std::fprintf(style_.json ? stderr : out_, "RX: %s\n", text.c_str());
    }
}

void ConsolePanel::linkNote(const std::string& text) {
    endInPlaceLine();
    std::fprintf(stderr, "flashmere-cli: %s\n", text.c_str());
}

}  // namespace flashmere
