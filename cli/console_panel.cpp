#include "console_panel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "frontend/message_table.h"
#include "link/crc.h"

namespace flashmere::cli {
namespace {

const char* panelName(DeviceField panel) {
    switch (panel) {
        case DeviceField::Model:
            return "model";
        case DeviceField::Name:
            return "name";
        case DeviceField::FirmwareVersion:
            return "version";
        case DeviceField::LoaderVersion:
            return "isp";
        case DeviceField::Id:
            return "id";
        case DeviceField::SerialNumber:
            return "serial";
    }
    return "?";
}

const char* counterName(ErrorCounter counter) {
    switch (counter) {
        case ErrorCounter::Erase:
            return "erase";
        case ErrorCounter::Program:
            return "program";
        case ErrorCounter::Verify:
            return "verify";
    }
    return "?";
}

}  // namespace

namespace {

// The length of the valid UTF-8 sequence that starts at text[at], or 0 when
// the byte there starts none.
std::size_t utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0U;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned low = 0x80;  // the range of the second byte
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// C0 controls, DEL, and the C1 controls U+0080 to U+009F (C2 80 to C2 9F):
// a terminal acts on each of them.
bool isControl(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) {
        return lead < 0x20 || lead == 0x7F;
    }
    return lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

// Walks text as UTF-8: plain(sequence) for each valid character that is no
// control, control(sequence) for each control character, invalid(byte) for
// each byte that is not valid UTF-8.
template <typename Plain, typename Control, typename Invalid>
void walkText(std::string_view text, Plain plain, Control control, Invalid invalid) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8Length(text, at);
        if (length == 0) {
            invalid(static_cast<unsigned char>(text[at]));
            ++at;
            continue;
        }
        const std::string_view sequence = text.substr(at, length);
        if (isControl(sequence)) {
            control(sequence);
        } else {
            plain(sequence);
        }
        at += length;
    }
}

void appendHexEscape(std::string& out, const char* format, unsigned value) {
    char esc[8];
    std::snprintf(esc, sizeof esc, format, value);
    out += esc;
}

}  // namespace

std::string consoleText(std::string_view text) {
    std::string out;
    const auto escape = [&](unsigned char byte) { appendHexEscape(out, "\\x%02X", byte); };
    walkText(
        text, [&](std::string_view sequence) { out += sequence; },
        [&](std::string_view sequence) {
            for (char c : sequence) {
                escape(static_cast<unsigned char>(c));
            }
        },
        escape);
    return out;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    walkText(
        text,
        [&](std::string_view sequence) {
            if (sequence == "\"") {
                out += "\\\"";
            } else if (sequence == "\\") {
                out += "\\\\";
            } else {
                out += sequence;
            }
        },
        [&](std::string_view sequence) {
            // One byte, or C2 and the code point's low byte.
            const auto codePoint = static_cast<unsigned char>(sequence.back());
            if (codePoint == '\n') {
                out += "\\n";
            } else if (codePoint == '\r') {
                out += "\\r";
            } else if (codePoint == '\t') {
                out += "\\t";
            } else {
                appendHexEscape(out, "\\u%04x", codePoint);
            }
        },
        [&](unsigned char byte) { appendHexEscape(out, "\\u%04x", byte); });
    return out + "\"";
}

ConsolePanel::ConsolePanel(const OperatorOptions& options, Style style, std::FILE* out)
    : options_(options), style_(style), out_(out) {}

// One call writes the whole line: the runs of a fleet share stdout, and a
// stream call is never interleaved with another thread's.
void ConsolePanel::jsonEvent(const std::string& fields) {
    const std::string row =
        style_.fleetRow > 0 ? "\"row\":" + std::to_string(style_.fleetRow) + "," : "";
    const std::string line = "{" + row + fields + "}\n";
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

void ConsolePanel::errorLine(const std::string& text) {
    const std::string row =
        style_.fleetRow > 0 ? "row " + std::to_string(style_.fleetRow) + ": " : "";
    const std::string line = "flashmere-cli: " + row + consoleText(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void ConsolePanel::endInPlaceLine() {
    if (inPlaceLine_) {
        std::fputc('\n', out_);
        inPlaceLine_ = false;
    }
}

void ConsolePanel::nameStage(MessageRow row, std::string text) {
    stageRow_ = row;
    stageText_ = std::move(text);
}

void ConsolePanel::nameBars(std::string program, std::string verify) {
    program_.name = std::move(program);
    verify_.name = std::move(verify);
}

void ConsolePanel::showMessage(MessageRow row) {
    reason_.clear();
    const bool stage = stageRow_ == row;
    const std::string& text = stage ? stageText_ : textOf(row, style_.languageIndex);
    if (style_.json && stage) {
        jsonEvent("\"event\":\"stage\",\"text\":" + jsonString(text));
        return;
    }
    if (style_.json) {
        const char* key = style_.fleetRow > 0 ? "message_row" : "row";
        jsonEvent("\"event\":\"message\",\"" + std::string(key) +
                  "\":" + std::to_string(static_cast<int>(row)) + ",\"text\":" + jsonString(text));
        return;
    }
    endInPlaceLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void ConsolePanel::showMessageReason(const std::string& reason) {
    reason_ = reason;
    if (style_.json) {
        jsonEvent("\"event\":\"reason\",\"text\":" + jsonString(reason));
    } else {
        endInPlaceLine();
        std::fflush(out_);
    }
    // A script reading the JSON events sees the reason on stderr too, as
    // every other failure of the tool.
    errorLine(reason);
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

namespace {

// "57/128", or "44%" for a bar whose count means nothing on its own.
std::string barCount(int done, int maximum, bool asPercent) {
    return asPercent ? std::to_string(done * 100 / maximum) + "%"
                     : std::to_string(done) + "/" + std::to_string(maximum);
}

}  // namespace

void ConsolePanel::bar(Bar& b, int position, int maximum) {
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
    // A bar never shows more than its maximum.
    const int shown = b.done;
    // An upgrade's pages come with their times; a service function's do not.
    const std::optional<RunTimes> times = position >= 0 ? std::exchange(times_, {}) : std::nullopt;
    const int percent = b.maximum > 0 ? shown * 100 / b.maximum : 0;
    if (style_.json) {
        std::string event = "\"event\":\"progress\",\"bar\":" + jsonString(b.name) +
                            ",\"position\":" + std::to_string(shown) +
                            ",\"maximum\":" + std::to_string(b.maximum);
        if (times) {
            event += ",\"percent\":" + std::to_string(percent) +
                     ",\"elapsed_s\":" + std::to_string(times->elapsedMs / 1000) +
                     ",\"left_s\":" + std::to_string((times->leftMs + 999) / 1000);
        }
        jsonEvent(event);
        return;
    }
    if (b.maximum <= 0 || position < 0) {
        return;
    }
    if (style_.terminal) {
        constexpr int kWidth = 40;
        const int filled = shown * kWidth / b.maximum;
        std::fprintf(out_, "\r%-8s [%s%s] %s", b.name.c_str(), std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(),
                     barCount(shown, b.maximum, b.percent).c_str());
        if (times) {
            // The blanks wipe what a longer estimate left on the line.
            std::fprintf(out_, " %3d%%  %s left  ", percent,
                         minutesAndSeconds(times->leftMs).c_str());
        }
        inPlaceLine_ = true;
        std::fflush(out_);
        return;
    }
    // Plain output: a line at every tenth and at the end.
    const int tenth = shown * 10 / b.maximum;
    if (tenth != b.lastPrinted) {
        b.lastPrinted = tenth;
        std::fprintf(out_, "%s %s\n", b.name.c_str(),
                     barCount(shown, b.maximum, b.percent).c_str());
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

void ConsolePanel::showDeviceField(DeviceField panel, const std::string& text) {
    if (panel == DeviceField::SerialNumber) {
        serial_ = text;
    }
    if (style_.json) {
        jsonEvent(std::string("\"event\":\"device\",\"field\":\"") + panelName(panel) +
                  "\",\"text\":" + jsonString(text));
    } else if (!text.empty()) {
        endInPlaceLine();
        std::fprintf(out_, "  device %s: %s\n", panelName(panel), consoleText(text).c_str());
    }
}

void ConsolePanel::showDeviceId(int position) {
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

// "21:07:45.123 UTC TX: 05 00 08 ...": the time of day the frame left or
// came, counted from the system clock without the platform's calendar calls.
void ConsolePanel::traceLine(const char* direction, const std::string& text) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const auto ofDay = ms % (24LL * 3600 * 1000);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02lld:%02lld:%02lld.%03lld UTC",
                  static_cast<long long>(ofDay / 3600000),
                  static_cast<long long>(ofDay / 60000 % 60),
                  static_cast<long long>(ofDay / 1000 % 60), static_cast<long long>(ofDay % 1000));
    endInPlaceLine();
    std::FILE* out = style_.json ? stderr : out_;
    std::fprintf(out, "%s %s: %s\n", stamp, direction, consoleText(text).c_str());
    std::fflush(out);
}

void ConsolePanel::wireSent(std::span<const std::uint8_t> frame) {
    if (style_.traces) {
        traceLine("TX", hexTrace(frame));
    }
}

void ConsolePanel::wireReceived(std::span<const std::uint8_t> bytes, const std::string& ending) {
    if (style_.traces) {
        std::string text = hexTrace(bytes);
        if (!ending.empty()) {
            text += "(" + ending + ")";
        }
        traceLine("RX", text);
    }
}

void ConsolePanel::linkNote(const std::string& text) {
    endInPlaceLine();
    errorLine(text);
}

}  // namespace flashmere::cli
