#include "device_options.h"

#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "firmware/firmware_selection.h"
#include "frontend/app_settings.h"
#include "frontend/exit_codes.h"
#include "frontend/message_table.h"
#include "link/serial_mode.h"
#include "terminal.h"

namespace flashmere::cli {
namespace {

constexpr const char* kDefaultNetPort = "5003";

bool parsePort(std::string_view text, std::string& port) {
    unsigned value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size() || value == 0 ||
        value > 65535) {
        return false;
    }
    port = std::to_string(value);
    return true;
}

// A host name or address: letters (names in other scripts as UTF-8),
// digits and . - _ (names, IPv4), : and % (IPv6 with its zone); a space, a
// control character or other ASCII punctuation is none of these.
bool isHostText(const std::string& host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || std::isalnum(u) != 0 ||
               std::string_view(".-_:%").find(c) != std::string_view::npos;
    });
}

// "host", "host:port", "[v6]" or "[v6]:port".
bool splitNet(const std::string& text, std::string& host, std::string& port) {
    port = kDefaultNetPort;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close == 1) {
            return false;
        }
        host = text.substr(1, close - 1);
        if (close + 1 == text.size()) {
            return isHostText(host);
        }
        return isHostText(host) && text[close + 1] == ':' &&
               parsePort(std::string_view(text).substr(close + 2), port);
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        host = text;  // a bare IPv6 address has several colons and no port
        return isHostText(host);
    }
    host = text.substr(0, colon);
    return isHostText(host) && parsePort(std::string_view(text).substr(colon + 1), port);
}

// The PIN as the device takes it: 1 to 4 hexadecimal digits.
bool isPinText(const std::string& text) {
    return !text.empty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// The stored link as the options would give it.
std::string storedLinkText(const AppSettings& stored) {
    if (stored.linkKind == kLinkNet) {
        return "--net " + stored.netIP + ":" + stored.netPort;
    }
    return "--com " + stored.comPortName + " --mode " + stored.comBaudRate;
}

void reportDamagedStore(const AppSettings& stored) {
    if (!stored.damagedStoreSetAside.isEmpty()) {
        std::fprintf(stderr,
                     "%s: the settings file %s could not be read; it was kept as %s and a fresh "
                     "one written\n",
                     kProgramName, oneLine(stored.storePath().toStdString()).c_str(),
                     oneLine(stored.damagedStoreSetAside.toStdString()).c_str());
    }
    if (!stored.storeProblem.isEmpty()) {
        std::fprintf(stderr,
                     "%s: the settings file %s %s: it is left as it is, no stored settings are "
                     "used and none are stored\n",
                     kProgramName, oneLine(stored.storePath().toStdString()).c_str(),
                     oneLine(stored.storeProblem.toStdString()).c_str());
    }
}

}  // namespace

std::optional<ResolvedOptions> resolveDeviceOptions(const DeviceArgs& args, std::string& error) {
    ResolvedOptions resolved;
    const auto language = languageIndexFromOption(args.lang);
    if (!language) {
        error = "--lang \"" + oneLine(args.lang) + "\" is not one of en, zh-CN, zh-TW";
        return std::nullopt;
    }
    resolved.languageIndex = *language;
    if (!isPinText(args.pin)) {
        error = "--pin \"" + oneLine(args.pin) + "\" is not 1 to 4 hexadecimal digits";
        return std::nullopt;
    }

    AppSettings stored;
    stored.loadSettings();
    reportDamagedStore(stored);
    if (args.net.empty() && args.com.empty()) {
        if (!stored.linkStored) {
            error = "no device link given: use --net HOST[:PORT] or --com PORT";
            return std::nullopt;
        }
        // Refused here, naming where it came from, rather than by the link.
        if (const std::string problem = netSettingsProblem(stored.linkSettings());
            stored.linkKind == kLinkNet && !problem.empty()) {
            error = "the stored link " + oneLine(storedLinkText(stored)) +
                    " cannot be used: " + oneLine(problem) +
                    "; give --net HOST[:PORT] or --com PORT";
            return std::nullopt;
        }
        std::fprintf(stderr, "%s: using the stored link %s\n", kProgramName,
                     oneLine(storedLinkText(stored)).c_str());
    }
    OperatorOptions& o = resolved.options;
    o.deviceId = args.id;
    o.pinText = args.pin;
    o.linkKind = stored.linkKind;
    o.link = stored.linkSettings();
    if (!args.net.empty()) {
        o.linkKind = kLinkNet;
        if (!splitNet(args.net, o.link.netIP, o.link.netPort)) {
            error = "--net \"" + oneLine(args.net) +
                    "\" is not HOST[:PORT]: a host name (letters, digits, . - _) or address "
                    "and a port 1-65535";
            return std::nullopt;
        }
    } else if (!args.com.empty()) {
        o.linkKind = kLinkCom;
        o.link.comPortName = args.com;
    }
    if (!args.mode.empty()) {
        if (!parseSerialMode(args.mode)) {
            error = "--mode \"" + oneLine(args.mode) +
                    "\" is not a serial settings string such as \"19200,e,8,1\"";
            return std::nullopt;
        }
        o.link.comBaudRate = args.mode;
    }
    return resolved;
}

ConsolePanel::Style consoleStyleFor(const DeviceArgs& args, int languageIndex) {
    ConsolePanel::Style style;
    style.languageIndex = languageIndex;
    style.json = args.json;
    style.terminal = !style.json && stdoutIsTerminal();
    style.traces = args.traces;
    return style;
}

int chooseFirmwareFile(const std::string& path, FirmwareImage& image, std::string* cause) {
    const FileSelection selection = selectFirmwareFile(path, image);
    if (selection.opened && selection.accepted) {
        return 0;
    }
    const std::string text = selection.opened
                                 ? oneLine(path) + ": " + textOf(MessageRow::msgFileTypeError, 0) +
                                       " (" + selection.refusal + ")"
                                 : "cannot open " + oneLine(path) + ": " + unreadableReason(path);
    if (cause != nullptr) {
        *cause = text;
    }
    return fail(selection.opened ? ExitCode::FileRejected : ExitCode::FileUnreadable, text);
}

void ensureQtApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "flashmere-cli";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
}

}  // namespace flashmere::cli
