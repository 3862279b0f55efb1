// Whole upgrades of each kind of model against the simulated device on the
// virtual clock, over TCP and serial: the run ends in "Upgrade ok." and the
// device's memory equals the image from the model's first address. The same
// upgrade through the programs, over a real socket and a pseudo-terminal, is
// in tests/e2e/cli_upgrade_e2e_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "link/virtual_clock.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/firmware/scratch_dir.h"
#include "tests/support/recording_panel.h"
#include "upgrade/upgrade_run.h"

namespace flashmere {
namespace {

using testing::RecordingPanel;
using testing::ScratchDir;

struct UpgradeCase {
    const char* what;
    std::uint16_t model;
    int bytes;
    std::uint32_t base;  // device address of page 0
    std::uint8_t linkKind;
    int rebootWaitSeconds = 0;
};

void PrintTo(const UpgradeCase& c, std::ostream* os) {
    *os << c.what;
}

class SimUpgrade : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(SimUpgrade, EndsOkAndTheMemoryEqualsTheImage) {
    const UpgradeCase& c = GetParam();
    ScratchDir dir;
    std::vector<std::uint8_t> body(static_cast<std::size_t>(c.bytes));
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>((i * 13 + i / 256 + 1) & 0xFF);
    }
    const std::string file = dir.file("fw.TVB");
    ASSERT_TRUE(writeFirmwareFile(file, c.model, "SIM", "V2.0", body).ok);
    FirmwareImage image;
    ASSERT_TRUE(selectFirmwareFile(file, image).accepted);
    ASSERT_TRUE(loadFirmwareImage(image));

    SimConfig config;
    config.model = c.model;
    config.id = 0;
    config.rebootMs = 500;
    SimDevice device(config);
    VirtualClock clock;
    SimTransportFactory transports(device, clock);
    OperatorOptions options;
    options.linkKind = c.linkKind;
    options.link.netIP = "127.0.0.1";
    options.link.comPortName = "ttyS0";
    RecordingPanel panel(options);
    DeviceRunContext context{panel, transports, clock, image};

    const std::int64_t started = clock.nowMs();
    EXPECT_EQ(upgradeDevice(context).message, MessageRow::msgUpgradeOk) << panel.reason;
    const std::int64_t elapsed = clock.nowMs() - started;
    EXPECT_NE(std::find(panel.messages.begin(), panel.messages.end(), MessageRow::msgVerifyOk),
              panel.messages.end());
    EXPECT_EQ(transports.openNow(), 0);
    EXPECT_EQ(device.readMemory(c.base, body.size()), body) << "the device does not hold the image";
    if (c.rebootWaitSeconds > 0) {
        // The whole wait passes, on the virtual clock.
        EXPECT_EQ(panel.rebootShown, 1);
        EXPECT_EQ(panel.rebootClosed, 1);
        EXPECT_GE(elapsed, c.rebootWaitSeconds * 1000);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SimUpgrade,
    ::testing::Values(UpgradeCase{"tcp_8401", 0x8401, 8 * 256, 0, kLinkNet},
                      UpgradeCase{"tcp_8400_reboot_wait", 0x8400, 300, 0, kLinkNet, 10},
                      UpgradeCase{"tcp_0131_base_3100", 0x0131, 4 * 256 + 17, 0x3100, kLinkNet},
                      UpgradeCase{"tcp_8201_row12", 0x8201, 5 * 256, 0, kLinkNet},
                      UpgradeCase{"tcp_8801_text", 0x8801, 4 * 256, 0, kLinkNet},
                      UpgradeCase{"serial_8401", 0x8401, 4 * 256, 0, kLinkCom},
                      UpgradeCase{"serial_8801_text", 0x8801, 3 * 256 + 5, 0, kLinkCom}),
    [](const auto& param) { return std::string(param.param.what); });

}  // namespace
}  // namespace flashmere
