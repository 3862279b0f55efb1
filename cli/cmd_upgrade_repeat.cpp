#include <cstdio>
#include <optional>
#include <string>

#include "console_panel.h"
#include "device_links.h"
#include "service/next_unit.h"
#include "stop_signals.h"
#include "upgrade_unit.h"

namespace flashmere::cli {
namespace {

bool stopAsked() {
    return stopRequests() > 0;
}

// Waits for the next unit over the machine's links; false when a stop
// request came first.
bool waitForNextUnit(const OperatorOptions& options, const std::string& lastSerial) {
    const auto transports = deviceLinks().transports();
    return flashmere::waitForNextUnit(*transports, deviceLinks().clock(), options, lastSerial,
                                      stopAsked);
}

void say(bool json, const std::string& jsonFields, const std::string& line) {
    if (json) {
        std::printf("{%s}\n", jsonFields.c_str());
    } else {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int repeatUpgrades(const UpgradeArgs& args, const OperatorOptions& options, int languageIndex,
                   FirmwareImage& image) {
    const bool json = args.device.json;
    int units = 0;
    int ok = 0;
    std::string lastSerial;
    // Installed once for the whole sitting: a stop during an upgrade ends
    // that unit as on a single run and the sitting after it; Ctrl-C while
    // waiting ends the sitting.
    installStopSignals();
    while (args.count == 0 || units < args.count) {
        if (units > 0) {
            if (stopAsked()) {
                break;
            }
            say(json, "\"event\":\"waiting\",\"units\":" + std::to_string(units),
                "Waiting for the next device (Ctrl-C ends) ...");
            if (!waitForNextUnit(options, lastSerial)) {
                break;
            }
        }
        const int code = upgradeOneUnit(args, options, languageIndex, image, lastSerial);
        ++units;
        ok += code == 0 ? 1 : 0;
        say(json,
            "\"event\":\"unit\",\"unit\":" + std::to_string(units) +
                ",\"serial\":" + jsonString(lastSerial) + ",\"exit\":" + std::to_string(code),
            "Device " + std::to_string(units) +
                (lastSerial.empty() ? std::string() : " (S/N " + consoleText(lastSerial) + ")") +
                (code == 0 ? ": Upgrade ok." : ": not ok, exit " + std::to_string(code)));
    }
    restoreStopSignals();
    const int notOk = units - ok;
    say(json,
        "\"event\":\"summary\",\"units\":" + std::to_string(units) +
            ",\"ok\":" + std::to_string(ok) + ",\"not_ok\":" + std::to_string(notOk),
        "Devices: " + std::to_string(units) + ", ok: " + std::to_string(ok) +
            ", not ok: " + std::to_string(notOk));
    return notOk == 0 ? 0 : exitStatus(ExitCode::FleetNotAllOk);
}

}  // namespace flashmere::cli
