#include "sim_config.h"

#include <charconv>
#include <cmath>

namespace flashmere {
namespace {

template <typename T>
bool parseNumber(std::string_view text, T& value, int base = 10) {
    if (text.empty()) {
        return false;
    }
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc{} && ptr == end;
}

std::vector<std::string_view> splitOn(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos == std::string_view::npos ? pos : pos - start));
        if (pos == std::string_view::npos) {
            return parts;
        }
        start = pos + 1;
    }
}

std::optional<FaultRule> fail(std::string* error, std::string message) {
    if (error) {
        *error = std::move(message);
    }
    return std::nullopt;
}

// The same for the parts of a rule, which answer whether they were read.
bool refuse(std::string* error, std::string message) {
    fail(error, std::move(message));
    return false;
}

}  // namespace

const char* const kFaultRuleHelp =
    "Fault rules (--fault, repeatable):\n"
    "  program:N:ACTION   the program request of page N (binary, or text YP)\n"
    "  erase:N:ACTION     the erase request whose address is page N\n"
    "  read:N:ACTION      the read request of page N (binary, or text YV)\n"
    "  cmd:HEX:ACTION     every binary request with that command code, e.g. cmd:0x0003:fail=2\n"
    "  text:CODE:ACTION   every text request with that code (AS, AS1, YP, YV, YR, Zx, Zx73)\n"
    "  ACTION is fail=K (the first K are not heard), never (none is heard),\n"
    "  delay=MS (every reply MS later), corrupt=K (the first K replies carry a bad byte)\n"
    "  or short=K (the first K replies end after 8 payload bytes or characters: a read\n"
    "  reply keeps its head and loses the page).\n"
    "  corrupt-page:N         flip one bit of page N as it is programmed\n"
    "  silent-after-pages:N   after N programmed pages the device answers nothing more\n"
    "  reboot-at-page:N       the program request of page N resets the device instead\n"
    "Pages count from 0 in the model's page size, from the first program address.\n"
    "RULE@ID applies the rule to the device with that ID only (several devices on the line).\n";

double LineMode::bitsPerChar() const {
    return 1.0 + dataBits + (parity == 'n' ? 0.0 : 1.0) + stopBits;
}

double LineMode::msPerByte() const {
    return 1000.0 * bitsPerChar() / static_cast<double>(baud);
}

std::optional<LineMode> parseLineMode(std::string_view text) {
    const auto parts = splitOn(text, ',');
    if (parts.size() != 4) {
        return std::nullopt;
    }
    LineMode mode;
    if (!parseNumber(parts[0], mode.baud) || mode.baud < 50 || mode.baud > 4000000) {
        return std::nullopt;
    }
    if (parts[1].size() != 1) {
        return std::nullopt;
    }
    const char p = static_cast<char>(parts[1][0] | 0x20);
    if (p != 'n' && p != 'e' && p != 'o' && p != 'm' && p != 's') {
        return std::nullopt;
    }
    mode.parity = p;
    if (!parseNumber(parts[2], mode.dataBits) || mode.dataBits < 5 || mode.dataBits > 8) {
        return std::nullopt;
    }
    if (parts[3] == "1") {
        mode.stopBits = 1.0;
    } else if (parts[3] == "1.5") {
        mode.stopBits = 1.5;
    } else if (parts[3] == "2") {
        mode.stopBits = 2.0;
    } else {
        return std::nullopt;
    }
    return mode;
}

namespace {

// "corrupt-page:N", "silent-after-pages:N", "reboot-at-page:N".
std::optional<FaultRule> parseStandaloneRule(std::string_view what, std::string_view count,
                                             FaultRule rule, std::string* error) {
    if (what == "corrupt-page") {
        rule.target = FaultTarget::CorruptPage;
    } else if (what == "silent-after-pages") {
        rule.target = FaultTarget::SilentAfterPages;
    } else if (what == "reboot-at-page") {
        rule.target = FaultTarget::RebootAtPage;
    } else {
        return fail(error, "unknown fault rule \"" + rule.source + "\"");
    }
    if (!parseNumber(count, rule.index)) {
        return fail(error, "fault rule \"" + rule.source + "\": N must be a number");
    }
    return rule;
}

// The first two fields of "WHAT:WHICH:ACTION": a page, a command or a text code.
bool parseRuleSelector(std::string_view what, std::string_view which, FaultRule& rule,
                       std::string* error) {
    if (what == "program" || what == "erase" || what == "read") {
        rule.target = what == "program" ? FaultTarget::Program
                      : what == "erase" ? FaultTarget::Erase
                                        : FaultTarget::Read;
        if (!parseNumber(which, rule.index)) {
            return refuse(error, "fault rule \"" + rule.source + "\": page must be a number");
        }
    } else if (what == "cmd") {
        rule.target = FaultTarget::Command;
        if (!parseNumber(which, rule.index, 16) || rule.index > 0xFFFF) {
            return refuse(error, "fault rule \"" + rule.source + "\": command must be hex 0..FFFF");
        }
    } else if (what == "text") {
        rule.target = FaultTarget::Text;
        rule.textCode = std::string(which);
        if (rule.textCode.empty() || rule.textCode.size() > 8) {
            return refuse(error, "fault rule \"" + rule.source + "\": text code missing");
        }
    } else {
        return refuse(error, "unknown fault rule \"" + rule.source + "\"");
    }
    return true;
}

// "never", "fail=K", "delay=MS", "corrupt=K" or "short=K".
bool parseRuleAction(std::string_view action, FaultRule& rule, std::string* error) {
    if (action == "never") {
        rule.action = FaultAction::Never;
        return true;
    }
    const auto eq = action.find('=');
    const std::string_view name = action.substr(0, eq);
    if (eq == std::string_view::npos || !parseNumber(action.substr(eq + 1), rule.amount) ||
        rule.amount < 0) {
        return refuse(error, "fault rule \"" + rule.source + "\": action must be fail=K, never, " +
                                 "delay=MS, corrupt=K or short=K");
    }
    if (name == "fail") {
        rule.action = FaultAction::Fail;
    } else if (name == "delay") {
        rule.action = FaultAction::Delay;
    } else if (name == "corrupt") {
        rule.action = FaultAction::Corrupt;
    } else if (name == "short") {
        rule.action = FaultAction::Short;
    } else {
        return refuse(error, "fault rule \"" + rule.source + "\": unknown action \"" +
                                 std::string(name) + "\"");
    }
    return true;
}

}  // namespace

std::optional<FaultRule> parseFaultRule(std::string_view text, std::string* error) {
    const auto parts = splitOn(text, ':');
    FaultRule rule;
    rule.source = std::string(text);
    if (parts.size() == 2) {
        return parseStandaloneRule(parts[0], parts[1], std::move(rule), error);
    }
    if (parts.size() != 3) {
        return fail(error, "fault rule \"" + rule.source + "\" has the wrong number of fields");
    }
    if (!parseRuleSelector(parts[0], parts[1], rule, error) ||
        !parseRuleAction(parts[2], rule, error)) {
        return std::nullopt;
    }
    return rule;
}

std::optional<std::string> checkSimConfig(const SimConfig& c) {
    if (c.name.size() > 12) {
        return "the name has more than 12 characters";
    }
    for (const char ch : c.name) {
        if (ch < 0x20 || ch > 0x7E) {
            return "the name must be printable ASCII";
        }
    }
    if (c.rebootMs < 0 || c.resetMs < 0 || c.latencyMs < 0 || c.eraseBusyMs < 0 ||
        c.programBusyMs < 0) {
        return "times must not be negative";
    }
    const auto& f = c.faults;
    auto probability = [](double p) { return std::isfinite(p) && p >= 0.0 && p <= 1.0; };
    if (!probability(f.dropProbability) || !probability(f.corruptProbability)) {
        return "probabilities must lie between 0 and 1";
    }
    if (f.splitGapMs && (f.splitGapMs->first < 0 || f.splitGapMs->second < f.splitGapMs->first)) {
        return "the split gap range must be MIN-MAX with 0 <= MIN <= MAX";
    }
    if (f.noiseBytes < 0 || f.noiseBytes > 4096 || f.staleBytes < 0 || f.staleBytes > 4096) {
        return "noise and stale byte counts must lie between 0 and 4096";
    }
    if (f.disconnectAfterFrames < 0 || f.silentFirstAttempts < 0) {
        return "counts must not be negative";
    }
    return std::nullopt;
}

}  // namespace flashmere
