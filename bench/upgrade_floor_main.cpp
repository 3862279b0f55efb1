// upgrade-floor: the shortest time an upgrade can take. Runs the same
// upgrade as `flashmere-cli upgrade FILE` against `flashmere-devsim` with the
// same line, latency and reboot settings, in-process on a virtual clock, and
// prints its virtual duration and what it is made of.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "upgrade_floor.h"

namespace {

using namespace flashmere;
using namespace flashmere::bench;

const char* stageName(MessageRow row) {
    switch (row) {
        case MessageRow::msgConnectOk:
            return "connected";
        case MessageRow::msgProgramming:
            return "programming";
        case MessageRow::msgProgramOk:
            return "programmed";
        case MessageRow::msgVerifying:
            return "verifying";
        case MessageRow::msgVerifyOk:
            return "verified";
        case MessageRow::msgUpgrading:
            return "starting";
        case MessageRow::msgUpgradeOk:
            return "done";
        default:
            return nullptr;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"upgrade-floor: the protocol floor of one upgrade, on a virtual clock",
                 "upgrade-floor"};
    FloorScenario scenario;
    std::string lineText;
    std::string deviceModelText;
    bool json = false;
    bool noVerify = false;
    int id = 1;
    app.add_option("FILE", scenario.firmwareFile, "Firmware file (.TVB)")->required();
    app.add_flag("--net", scenario.net, "TCP link (5 ms send pause) instead of a serial port");
    app.add_option("--line", lineText, "the simulator's line pacing, e.g. 19200,e,8,1");
    app.add_option("--latency-ms", scenario.latencyMs, "the simulator's reply latency")
        ->check(CLI::Range(0, 60000));
    app.add_option("--reboot-ms", scenario.rebootMs, "the simulator's silence after a start")
        ->check(CLI::Range(0, 600000));
    app.add_option("--id", id, "device ID on both sides")->check(CLI::Range(0, 9999));
    app.add_option("--device-model", deviceModelText,
                   "the device's model (hex), default the file's");
    app.add_flag("--no-verify", noVerify, "do not read the pages back");
    app.add_flag("--json", json, "one JSON object on stdout");
    app.add_option("--log", scenario.transcriptFile,
                   "write the device's transcript as JSON lines (as flashmere-devsim --log)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    scenario.deviceId = static_cast<std::uint16_t>(id);
    scenario.verify = !noVerify;
    if (!lineText.empty()) {
        scenario.line = parseLineMode(lineText);
        if (!scenario.line) {
            std::fprintf(stderr, "upgrade-floor: --line needs BAUD,PARITY,DATA,STOP\n");
            return 2;
        }
    }
    if (!deviceModelText.empty()) {
        try {
            std::size_t used = 0;
            const unsigned long v = std::stoul(deviceModelText, &used, 16);
            if (used != deviceModelText.size() || v > 0xFFFF) {
                throw std::out_of_range("model");
            }
            scenario.deviceModel = static_cast<std::uint16_t>(v);
        } catch (...) {
            std::fprintf(stderr, "upgrade-floor: --device-model needs a hexadecimal code\n");
            return 2;
        }
    }

    const FloorResult r = computeUpgradeFloor(scenario);
    if (!r.fileAccepted) {
        std::fprintf(stderr, "upgrade-floor: %s is not a firmware file that can be read\n",
                     scenario.firmwareFile.c_str());
        return 3;
    }
    const bool ok = r.outcome == MessageRow::msgUpgradeOk;
    const auto connected = r.markOf(MessageRow::msgConnectOk).value_or(-1);
    if (json) {
        std::string stages;
        for (const auto& mark : r.marks) {
            if (const char* name = stageName(mark.row)) {
                stages += std::string(stages.empty() ? "" : ",") + "\"" + name +
                          "\":" + std::to_string(mark.atMs);
            }
        }
        std::printf(
            "{\"ok\":%s,\"outcome\":%d,\"floor_ms\":%lld,\"pauses_ms\":%lld,\"waiting_ms\":%lld,"
            "\"identify_ms\":%lld,\"pages\":%d,\"requests\":%llu,\"replies\":%llu,"
            "\"request_bytes\":%llu,\"reply_bytes\":%llu,\"send_only_frames\":%llu,"
            "\"send_only_bytes\":%llu,\"wire_ms\":%.1f,\"latency_ms\":%lld,\"additive_ms\":%.1f,"
            "\"stages\":{%s}}\n",
            ok ? "true" : "false", static_cast<int>(r.outcome), static_cast<long long>(r.totalMs),
            static_cast<long long>(r.pausesMs), static_cast<long long>(r.waitingMs),
            static_cast<long long>(connected), r.pageCount,
            static_cast<unsigned long long>(r.requests), static_cast<unsigned long long>(r.replies),
            static_cast<unsigned long long>(r.requestBytes),
            static_cast<unsigned long long>(r.replyBytes),
            static_cast<unsigned long long>(r.sendOnlyFrames),
            static_cast<unsigned long long>(r.sendOnlyBytes), r.wireMs,
            static_cast<long long>(r.latencyMs), r.additiveMs(), stages.c_str());
    } else {
        std::printf("outcome        %s\n", ok ? "Upgrade ok." : "failed");
        std::printf("floor          %lld ms\n", static_cast<long long>(r.totalMs));
        std::printf("  pauses       %lld ms\n", static_cast<long long>(r.pausesMs));
        std::printf("  waiting      %lld ms (wire time and latency beyond the pauses)\n",
                    static_cast<long long>(r.waitingMs));
        std::printf("identified at  %lld ms\n", static_cast<long long>(connected));
        std::printf("pages          %d\n", r.pageCount);
        std::printf("requests       %llu (%llu bytes), replies %llu (%llu bytes)\n",
                    static_cast<unsigned long long>(r.requests),
                    static_cast<unsigned long long>(r.requestBytes),
                    static_cast<unsigned long long>(r.replies),
                    static_cast<unsigned long long>(r.replyBytes));
        std::printf("wire time      %.1f ms, latency %lld ms\n", r.wireMs,
                    static_cast<long long>(r.latencyMs));
        std::printf("additive sum   %.1f ms (pauses + wire + latency, overlap counted twice)\n",
                    r.additiveMs());
    }
    return ok ? 0 : 1;
}
