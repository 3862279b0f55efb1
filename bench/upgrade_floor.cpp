#include "upgrade_floor.h"

#include <fstream>
#include <numeric>

#include "firmware/firmware_selection.h"
#include "link/virtual_clock.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::bench {
namespace {

// The operator panel of a floor run: shows nothing, notes when each message
// appeared on the virtual clock.
class FloorPanel final : public OperatorPanel {
  public:
    FloorPanel(OperatorOptions options, Clock& clock, std::vector<FloorMark>& marks)
        : options_(std::move(options)), clock_(clock), marks_(marks) {}

    OperatorOptions captureOptions() override { return options_; }
    void storeLinkSettings(std::uint8_t, const LinkSettings&) override {}
    void showMessage(MessageRow row) override { marks_.push_back({row, clock_.nowMs()}); }
    void showMessageReason(const std::string&) override {}
    void setLamp(LampColour) override {}
    void setBusyIndicator(bool) override {}
    void setProgramRange(int) override {}
    void setProgramPosition(int) override {}
    void setVerifyRange(int) override {}
    void setVerifyPosition(int) override {}
    void showRunTimes(const RunTimes&) override {}
    void setErrorCounter(ErrorCounter, int) override {}
    void setLineTrace(const std::string&) override {}
    void setPageTrace(const std::string&) override {}
    void showDeviceField(DeviceField, const std::string&) override {}
    void showDeviceId(int position) override { options_.deviceId = position; }
    void tone(int, int) override {}
    void showRebootWait(int) override {}
    void updateRebootWait(const std::string&, int, int) override {}
    void closeRebootWait() override {}
    void setSentTrace(const std::string&) override {}
    void setReceivedTrace(const std::string&) override {}
    void linkNote(const std::string&) override {}

  private:
    OperatorOptions options_;
    Clock& clock_;
    std::vector<FloorMark>& marks_;
};

}  // namespace

std::optional<std::int64_t> FloorResult::markOf(MessageRow row) const {
    for (const auto& mark : marks) {
        if (mark.row == row) {
            return mark.atMs;
        }
    }
    return std::nullopt;
}

FloorResult computeUpgradeFloor(const FloorScenario& scenario) {
    FloorResult result;
    FirmwareImage image;
    const FileSelection selection = selectFirmwareFile(scenario.firmwareFile, image);
    if (!selection.opened || !selection.accepted) {
        return result;
    }
    result.fileAccepted = true;

    // The simulator as flashmere-devsim configures it from the same options.
    SimConfig config;
    config.model = scenario.deviceModel.value_or(image.modelCode);
    config.id = scenario.deviceId;
    config.latencyMs = scenario.latencyMs;
    config.rebootMs = scenario.rebootMs;
    config.line = scenario.line;
    SimDevice device(config);

    // The options flashmere-cli upgrade passes by default.
    OperatorOptions options;
    options.deviceId = scenario.deviceId;
    options.verify = scenario.verify;
    options.linkKind = scenario.net ? kLinkNet : kLinkCom;
    options.link.netIP = "127.0.0.1";
    options.link.comPortName = "floor";

    VirtualClock clock;
    SimTransportFactory transports(device, clock);
    FloorPanel panel(options, clock, result.marks);
    DeviceRunContext context{panel, transports, clock, image};
    result.outcome = upgradeDevice(context).message;

    result.totalMs = clock.nowMs();
    result.pausesMs = std::accumulate(
        clock.sleeps().begin(), clock.sleeps().end(), std::int64_t{0},
        [](std::int64_t sum, std::int64_t ms) { return sum + std::max<std::int64_t>(ms, 0); });
    result.waitingMs = result.totalMs - result.pausesMs;
    result.pageCount = image.pageCount;

    if (!scenario.transcriptFile.empty()) {
        std::ofstream log(scenario.transcriptFile, std::ios::trunc);
        for (const SimEvent& e : device.transcript()) {
            log << toJsonLine(e) << '\n';
        }
    }
    for (const SimEvent& e : device.transcript()) {
        if (e.type == SimEventType::Request) {
            if (e.kind == SimFrameKind::Binary || e.kind == SimFrameKind::Text) {
                ++result.requests;
                result.requestBytes += e.bytes;
            } else {
                ++result.sendOnlyFrames;
                result.sendOnlyBytes += e.bytes;
            }
        } else if (e.type == SimEventType::Reply) {
            ++result.replies;
            result.replyBytes += e.bytes;
        }
    }
    if (scenario.line) {
        const auto bytes = result.requestBytes + result.replyBytes + result.sendOnlyBytes;
        result.wireMs = static_cast<double>(bytes) * scenario.line->msPerByte();
    }
    result.latencyMs = static_cast<std::int64_t>(result.replies) * scenario.latencyMs;
    return result;
}

}  // namespace flashmere::bench
