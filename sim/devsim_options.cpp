#include "devsim_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>

#ifndef FLASHMERE_VERSION
#define FLASHMERE_VERSION "0"
#endif

namespace flashmere {
namespace {

// The options as typed; hexadecimal and compound ones are read afterwards.
struct OptionTexts {
    std::string modelText, pinText, serialNumberText, name = "SIMDEVICE", versionText, ispText,
                                                      reportModelText, versionAfterText, lineText,
                                                      splitText;
    bool erased = false, noLoaderGate = false, swapUnits = false;
    std::vector<int>
        ids;  // none given: the tool's own default ID 0, so the first pairing needs none
    std::vector<std::string> deviceTexts;
    std::int64_t rebootMs = 3000, resetMs = 2000, latencyMs = 2, eraseBusy = 0, programBusy = 0;
    std::uint64_t seed = 1;
    double drop = 0, corrupt = 0;
    int noise = 0, stale = 0, disconnectAfter = 0, silentFirst = 0;
    std::vector<std::string> faultTexts;
};

void addLinkOptions(CLI::App& app, DevsimOptions& options) {
    auto* tcpOpt = app.add_option("--tcp", options.tcpEndpoint,
                                  "serve TCP on [HOST:]PORT (port 0: any free port)");
    auto* ptyOpt =
        app.add_flag("--pty", options.usePty, "serve a new pseudo-terminal; prints its path");
    auto* serOpt = app.add_option("--serial", options.serialPath, "serve an existing serial port");
    tcpOpt->excludes(ptyOpt)->excludes(serOpt);
    ptyOpt->excludes(serOpt);
    app.add_option("--tcp-ports", options.tcpPorts,
                   "serve N lines alike, each with its own devices, on ports PORT to PORT+N-1 "
                   "(port 0: any free ones), for fleet benchmarks")
        ->check(CLI::Range(1, 4096))
        ->needs(tcpOpt);
}

void addDeviceOptions(CLI::App& app, OptionTexts& o) {
    app.add_option("--model", o.modelText, "model code (hex), e.g. 8401");
    app.add_option("--id", o.ids,
                   "device address (0-9999, default 0); repeat for more devices of --model")
        ->check(CLI::Range(0, 9999));
    app.add_option("--device", o.deviceTexts,
                   "MODEL:ID, one more device on the same line (repeatable)");
    app.add_option("--pin", o.pinText, "PIN (hex); without it the device takes any PIN");
    app.add_option("--serial-number", o.serialNumberText, "serial number (hex, 32 bits)");
    app.add_option("--name", o.name, "device name (up to 12 characters)");
    app.add_option("--version", o.versionText,
                   "firmware version (hex); alone: print the program version")
        ->expected(0, 1);
    app.add_option("--version-after-run", o.versionAfterText,
                   "version reported after a start (hex)");
    app.add_option("--isp", o.ispText, "ISP (loader) version (hex)");
    app.add_option("--report-model", o.reportModelText, "model code to report instead (hex)");
    app.add_option("--reboot-ms", o.rebootMs, "silence after the start command");
    app.add_option("--reset-ms", o.resetMs, "silence after the 0xAA reset frame (0171, 0181)");
    app.add_option("--latency-ms", o.latencyMs, "time from a request to its reply");
    app.add_option("--erase-busy-ms", o.eraseBusy, "extra time an erase takes");
    app.add_option("--program-busy-ms", o.programBusy, "extra time a page program takes");
    app.add_option("--line", o.lineText, "pace bytes like a serial line, e.g. 19200,e,8,1");
    app.add_flag("--erased", o.erased,
                 "start with erased memory (all 0xFF) instead of an old firmware");
    app.add_flag("--no-loader-gate", o.noLoaderGate,
                 "take erase and program requests without the 6D 2E mode command first");
    app.add_flag("--swap-units", o.swapUnits,
                 "after each start's silence, another unit: serial number + 1, the old memory");
}

void addFaultOptions(CLI::App& app, OptionTexts& o) {
    app.add_option("--seed", o.seed, "seed of every random fault");
    app.add_option("--drop", o.drop, "probability that a reply is lost")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--corrupt", o.corrupt, "probability that a reply carries one bad byte")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--split", o.splitText, "split replies into 2-4 pieces, gaps MIN-MAX ms");
    app.add_option("--noise", o.noise, "junk bytes before every reply")->check(CLI::Range(0, 4096));
    app.add_option("--stale", o.stale, "junk bytes 1 ms after every reply")
        ->check(CLI::Range(0, 4096));
    app.add_option("--disconnect-after", o.disconnectAfter,
                   "drop the TCP link after N frames (once)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--silent-first", o.silentFirst,
                   "ignore the first N copies of every distinct request")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--fault", o.faultTexts,
                   "scripted fault rule, RULE or RULE@ID for one device (repeatable, see below)");
}

void addOutputOptions(CLI::App& app, DevsimOptions& options) {
    app.add_option("--log", options.logPath, "write the transcript as JSON lines");
    app.add_option("--dump", options.dumpPath,
                   "write the program memory to this file at exit; several devices: to "
                   "ID.bin in this folder");
    app.add_option("--chatter", options.chatterMs,
                   "one stray byte every MS ms on the line, asked or not: a noisy line")
        ->check(CLI::Range(1, 60000));
    app.add_flag("--exit-after-run", options.exitAfterRun,
                 "exit once a program was started and its reboot ended");
}

// Hexadecimal option text ("8401", "0x8401") to a number no larger than max.
bool parseHexOption(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
    }
    if (t.empty() || t.size() > 16) {
        return false;
    }
    std::size_t used = 0;
    try {
        value = std::stoull(t, &used, 16);
    } catch (...) {
        return false;
    }
    return used == t.size() && value <= max;
}

// An optional hexadecimal option: empty text leaves target as it is.
template <typename T>
bool readHexField(const std::string& text, std::uint64_t max, const char* option, T& target) {
    if (text.empty()) {
        return true;
    }
    std::uint64_t v = 0;
    if (!parseHexOption(text, max, v)) {
        std::cerr << "flashmere-devsim: " << option << " needs a hexadecimal number\n";
        return false;
    }
    target = static_cast<T>(v);
    return true;
}

// "MIN-MAX" or "MS" in milliseconds.
bool parseSplitGaps(const std::string& text, std::pair<std::int64_t, std::int64_t>& gaps) {
    const auto dash = text.find('-');
    try {
        std::size_t u1 = 0, u2 = 0;
        const std::string a = text.substr(0, dash);
        const std::string b = dash == std::string::npos ? a : text.substr(dash + 1);
        gaps = {std::stoll(a, &u1), std::stoll(b, &u2)};
        return u1 == a.size() && u2 == b.size();
    } catch (...) {
        return false;
    }
}

// The identity fields of every device: model, PIN and the hexadecimal fields.
std::optional<int> readIdentity(const OptionTexts& o, SimConfig& config) {
    std::uint64_t v = 0;
    if (o.modelText.empty() && o.deviceTexts.empty()) {
        return devsimUsage("--model is required (or at least one --device MODEL:ID)");
    }
    if (!o.modelText.empty() && !parseHexOption(o.modelText, 0xFFFF, v)) {
        return devsimUsage("--model needs a hexadecimal model code, e.g. 8401");
    }
    config.model = static_cast<std::uint16_t>(v);
    if (!o.pinText.empty()) {
        if (!parseHexOption(o.pinText, 0xFFFF, v)) {
            return devsimUsage("--pin needs a hexadecimal number up to FFFF");
        }
        config.pin = static_cast<std::uint16_t>(v);
    }
    std::uint16_t reportModel = 0, versionAfter = 0;
    if (!readHexField(o.serialNumberText, 0xFFFFFFFF, "--serial-number", config.serialNumber) ||
        !readHexField(o.versionText, 0xFFFF, "--version", config.version) ||
        !readHexField(o.ispText, 0xFFFF, "--isp", config.isp) ||
        !readHexField(o.reportModelText, 0xFFFF, "--report-model", reportModel) ||
        !readHexField(o.versionAfterText, 0xFFFF, "--version-after-run", versionAfter)) {
        return 2;
    }
    if (!o.reportModelText.empty()) {
        config.reportModel = reportModel;
    }
    if (!o.versionAfterText.empty()) {
        config.versionAfterRun = versionAfter;
    }
    config.name = o.name;
    return std::nullopt;
}

// Timing, memory and line faults, the same for every device.
std::optional<int> readBehaviour(const OptionTexts& o, SimConfig& config) {
    config.rebootMs = o.rebootMs;
    config.resetMs = o.resetMs;
    config.latencyMs = o.latencyMs;
    config.eraseBusyMs = o.eraseBusy;
    config.programBusyMs = o.programBusy;
    config.seed = o.seed;
    config.loaderGate = !o.noLoaderGate;
    config.swapUnits = o.swapUnits;
    config.initialMemory = o.erased ? InitialMemory::Erased : InitialMemory::OldFirmware;
    if (!o.lineText.empty()) {
        config.line = parseLineMode(o.lineText);
        if (!config.line) {
            return devsimUsage("--line needs BAUD,PARITY,DATA,STOP such as 19200,e,8,1");
        }
    }
    auto& f = config.faults;
    f.dropProbability = o.drop;
    f.corruptProbability = o.corrupt;
    f.noiseBytes = o.noise;
    f.staleBytes = o.stale;
    f.disconnectAfterFrames = o.disconnectAfter;
    f.silentFirstAttempts = o.silentFirst;
    if (!o.splitText.empty()) {
        std::pair<std::int64_t, std::int64_t> gaps;
        if (!parseSplitGaps(o.splitText, gaps)) {
            return devsimUsage("--split needs MIN-MAX in milliseconds, e.g. 0-30");
        }
        f.splitGapMs = gaps;
    }
    return std::nullopt;
}

// The devices on the line: --model at every --id (ID 0 when none is given),
// then every --device MODEL:ID.
std::optional<int> listDevices(const OptionTexts& o, const SimConfig& config,
                               std::vector<SimConfig>& devices) {
    if (!o.modelText.empty()) {
        const std::vector<int> ids = o.ids.empty() ? std::vector<int>{0} : o.ids;
        for (const int id : ids) {
            devices.push_back(config);
            devices.back().id = static_cast<std::uint16_t>(id);
        }
    }
    for (const auto& text : o.deviceTexts) {
        const auto colon = text.find(':');
        std::uint64_t model = 0;
        if (colon == std::string::npos || !parseHexOption(text.substr(0, colon), 0xFFFF, model) ||
            colon + 1 == text.size() || text.size() - colon > 5 ||
            !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(colon) + 1, text.end(),
                         [](unsigned char c) { return std::isdigit(c); })) {
            return devsimUsage("--device needs MODEL:ID such as 8801:12 (ID 0-9999), not \"" +
                               text + "\"");
        }
        devices.push_back(config);
        devices.back().model = static_cast<std::uint16_t>(model);
        devices.back().id = static_cast<std::uint16_t>(std::stoul(text.substr(colon + 1)));
    }
    for (std::size_t i = 0; i < devices.size() && devices.size() > 1; ++i) {
        // Devices of one line differ in serial number and in their random faults.
        devices[i].serialNumber += static_cast<std::uint32_t>(i);
        devices[i].seed += i;
    }
    return std::nullopt;
}

// "RULE@ID": the rule and the ID it is meant for; no "@": every device.
std::pair<std::string, std::optional<int>> splitFaultTarget(const std::string& text) {
    const auto at = text.rfind('@');
    if (at == std::string::npos) {
        return {text, std::nullopt};
    }
    const std::string idText = text.substr(at + 1);
    int id = -1;
    if (!idText.empty() && idText.size() <= 4 &&
        std::all_of(idText.begin(), idText.end(),
                    [](unsigned char c) { return std::isdigit(c); })) {
        id = std::stoi(idText);
    }
    return {text.substr(0, at), id};
}

std::optional<int> addFaultRules(const OptionTexts& o, std::vector<SimConfig>& devices) {
    for (const auto& text : o.faultTexts) {
        const auto [ruleText, target] = splitFaultTarget(text);
        std::string error;
        auto rule = parseFaultRule(ruleText, &error);
        if (!rule) {
            return devsimUsage(error);
        }
        bool matched = false;
        for (auto& device : devices) {
            if (!target || *target == device.id) {
                device.faults.rules.push_back(*rule);
                matched = true;
            }
        }
        if (!matched) {
            return devsimUsage("--fault " + text + ": no device on the line has that ID");
        }
    }
    return std::nullopt;
}

// "--version" alone prints the program version, even without --model.
bool versionAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 &&
            (i + 1 == argc || std::strncmp(argv[i + 1], "--", 2) == 0)) {
            return true;
        }
    }
    return false;
}

// The devices and the link from the typed options, checked in this order.
std::optional<int> readOptions(const OptionTexts& texts, DevsimOptions& options) {
    SimConfig config;
    if (auto code = readIdentity(texts, config)) {
        return code;
    }
    if (auto code = readBehaviour(texts, config)) {
        return code;
    }
    options.line = config.line;
    if (auto code = listDevices(texts, config, options.devices)) {
        return code;
    }
    if (auto code = addFaultRules(texts, options.devices)) {
        return code;
    }
    for (const auto& device : options.devices) {
        if (auto problem = checkSimConfig(device)) {
            return devsimUsage(*problem);
        }
    }
    if (options.tcpEndpoint.empty() && !options.usePty && options.serialPath.empty()) {
        return devsimUsage("choose one of --tcp [HOST:]PORT, --pty or --serial PATH");
    }
    if (options.tcpPorts > 1 && (!options.logPath.empty() || !options.dumpPath.empty() ||
                                 options.exitAfterRun || options.chatterMs > 0)) {
        return devsimUsage("--tcp-ports takes none of --log, --dump, --exit-after-run, --chatter");
    }
    return std::nullopt;
}

}  // namespace

int devsimUsage(const std::string& message) {
    std::cerr << "flashmere-devsim: " << message << "\n";
    return 2;
}

std::optional<int> parseDevsimOptions(int argc, char** argv, DevsimOptions& options) {
    CLI::App app{"flashmere-devsim: a simulated field device for Flashmere", "flashmere-devsim"};
    app.footer(
        std::string("\nFirst line on stdout: \"listening on HOST:PORT\" or \"serial PATH\".\n"
                    "Hex options take 8401 or 0x8401.\n\n") +
        kFaultRuleHelp);
    OptionTexts texts;
    addLinkOptions(app, options);
    addDeviceOptions(app, texts);
    addFaultOptions(app, texts);
    addOutputOptions(app, options);
    if (versionAsked(argc, argv)) {
        std::cout << "flashmere-devsim " << FLASHMERE_VERSION << "\n";
        return 0;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help is a success; every other parse error is bad usage (2).
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return readOptions(texts, options);
}

}  // namespace flashmere
