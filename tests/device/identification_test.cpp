#include "tests/support/engine_fixture.h"

namespace flashmere::testing {
namespace {

using R = SeenRequest;

std::vector<std::uint8_t> be16Model(std::uint16_t model, std::uint16_t id = 0) {
    return {static_cast<std::uint8_t>(model >> 8),
            static_cast<std::uint8_t>(model & 0xFF),
            0x12,
            0x34,
            0x56,
            0x78,
            static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id & 0xFF)};
}

class IdentificationTest : public EngineTest {};

TEST_F(IdentificationTest, BinaryGroup84DeviceIsIdentifiedAndPanelsFilled) {
    useFirmware(0x8401, 1024);
    panel.options.verify = false;
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);

    // Identification: hello, model query, name, version query, mode x2,
    // then the read-out (hello, name, identify).
    std::vector<std::uint16_t> commands;
    for (const auto& r : binaryRequests()) {
        commands.push_back(r.command);
    }
    const std::vector<std::uint16_t> identification = {0x0001, 0x0001, 0x0003, 0x6037, 0x6038,
                                                       0x6038, 0x0001, 0x0003, 0x0001};
    ASSERT_GE(commands.size(), identification.size());
    EXPECT_EQ(std::vector(commands.begin(), commands.begin() + 9), identification);
    const auto mode = device->binary(0x6038);
    EXPECT_EQ(mode[0].payload, (std::vector<std::uint8_t>{0x6D, 0x2E, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(panel.deviceFields[0], "8401");
    EXPECT_EQ(panel.deviceFields[1], "FAKE DEVICE");
    EXPECT_EQ(panel.deviceFields[2], "0102");
    EXPECT_EQ(panel.deviceFields[3], "0C31");
    EXPECT_EQ(panel.deviceFields[4], "0000");
    EXPECT_EQ(panel.deviceFields[5], "12345678");
    EXPECT_EQ(panel.storedLinkSettings, 1);
    EXPECT_EQ(panel.messages[0], MessageRow::msgConnecting);
    EXPECT_EQ(panel.messages[1], MessageRow::msgConnectOk);
    EXPECT_EQ(panel.tones.front(), std::make_pair(1000, 300));
    // No wake-up frames for group 0x84.
    for (const auto& r : device->requests) {
        EXPECT_TRUE(r.kind == R::Binary) << r.kind;
    }
    expectLinkClosed();
}

TEST_F(IdentificationTest, WakeUpFramesFollowTheOptionBoxes) {
    struct Case {
        bool wakeUpFrames, serialNumberWakeUp;
        int tabs, zx73, zx, fixed;
    };
    for (const Case c : {Case{true, false, 2, 2, 2, 0}, Case{false, false, 0, 0, 0, 0},
                         Case{false, true, 0, 0, 0, 2}, Case{true, true, 2, 2, 2, 2}}) {
        useFirmware(0x8081, 256);
        panel.options.wakeUpFrames = c.wakeUpFrames;
        panel.options.serialNumberWakeUp = c.serialNumberWakeUp;
        panel.options.deviceId = 7;
        device->deviceId = 7;
        EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
        int tabs = 0, fixed = 0;
        for (const auto& r : device->requests) {
            tabs += r.kind == R::Tab;
            fixed += r.kind == R::Fixed;
            if (r.kind == R::Tab) {
                EXPECT_EQ(r.text, "A7F");
            }
        }
        EXPECT_EQ(tabs, c.tabs);
        EXPECT_EQ(fixed, c.fixed);
        const auto zx = device->texts("Zx");
        EXPECT_EQ(static_cast<int>(zx.size()), c.zx73 + c.zx);
        if (c.wakeUpFrames) {
            EXPECT_EQ(zx[0].text, "07Zx73");
            EXPECT_EQ(zx[2].text, "007Zx");
        }
    }
}

TEST_F(IdentificationTest, ResetModelsGetTheAAFrameAndAReopenedLinkAfterFiveSeconds) {
    useFirmware(0x0171, 256);
    panel.options.wakeUpFrames = true;  // no effect for this model
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    ASSERT_EQ(device->requests[0].kind, R::AA);
    EXPECT_EQ(
        device->requests[0].payload,
        (std::vector<std::uint8_t>{0xAA, 0x00, 0x09, 0x00, 0x00, 0x00, 0xB6, 0x03, 0x5E, 0x71, 0x2C,
                                   0x4A, 0x09 ^ 0xB6 ^ 0x03 ^ 0x5E ^ 0x71 ^ 0x2C ^ 0x4A}));
    EXPECT_EQ(device->opens, 2);
    EXPECT_GE(device->requests[1].atMs - device->requests[0].atMs, 5000 + 100);
    expectLinkClosed();
}

TEST_F(IdentificationTest, EachFailureShowsItsMessageWithRedLampAndClosedLink) {
    struct Case {
        const char* what;
        std::function<void(FakeDevice&)> breakIt;
        MessageRow expected;
        int storedSettings = 0;   // kept once the device has passed every check
        const char* reason = "";  // part of the reason beside the message; "" for none
    };
    const std::vector<Case> cases = {
        {"serial port missing", [](FakeDevice& d) { d.serialOpenFails = true; },
         MessageRow::msgOpenPortError, 0, "cannot open COM1 (19200,e,8,1) for device ID 0"},
        {"PIN refused",
         [](FakeDevice& d) {
             d.onBinary = [&d](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
                 if (r.command == 0x0001) {
                     return std::vector<std::uint8_t>{};
                 }
                 return d.healthyBinary(r);
             };
         },
         MessageRow::msgModelOrPinError, 0, "refused the PIN 9174"},
        {"other known model",
         [](FakeDevice& d) {
             d.onBinary = [&d](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
                 if (r.command == 0x0001) {
                     return be16Model(0x8400);
                 }
                 return d.healthyBinary(r);
             };
         },
         MessageRow::msgFileTypeError, 0,
         "the device's model 0x8400 differs from the file's 0x8401"},
        {"unknown model",
         [](FakeDevice& d) {
             d.onBinary = [](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
                 if (r.command == 0x0001) {
                     return be16Model(0x7777);
                 }
                 return std::vector<std::uint8_t>{};
             };
         },
         MessageRow::msgConnectError, 0, "answered, but identification of device ID 0"},
        {"silent device",
         [](FakeDevice& d) { d.onBinary = [](const R&, int) { return std::nullopt; }; },
         MessageRow::msgConnectError, 0,
         "no reply from device ID 0 on COM1 (19200,e,8,1) within 1000 ms: is the ID right?"},
        {"version query refused nine times",
         [](FakeDevice& d) {
             d.onBinary = [&d](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
                 if (r.command == 0x6037) {
                     return std::vector<std::uint8_t>{0x84, 0x00, 0x01, 0x00, 0x00, 0x00};
                 }
                 return d.healthyBinary(r);
             };
         },
         MessageRow::msgFileTypeError, 0, "differs from the file's 0x8401"},
        {"ISP word 0 in the read-out", [](FakeDevice& d) { d.isp = 0; },
         MessageRow::msgConnectError, 1, "answered, but identification of device ID 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        useFirmware(0x8401, 512);
        panel = RecordingPanel{};
        c.breakIt(*device);
        EXPECT_EQ(run(), c.expected);
        EXPECT_EQ(panel.lastMessage(), c.expected);
        EXPECT_EQ(panel.lamp, LampColour::Red);
        EXPECT_FALSE(panel.busy);
        EXPECT_EQ(panel.tones.back(), std::make_pair(300, 300));
        EXPECT_EQ(panel.storedLinkSettings, c.storedSettings);
        if (*c.reason == '\0') {
            EXPECT_EQ(panel.reason, "");
        } else {
            EXPECT_NE(panel.reason.find(c.reason), std::string::npos) << panel.reason;
        }
        EXPECT_TRUE(device->binary(0x6039).empty()) << "nothing may be written";
        expectLinkClosed();
    }
}

TEST_F(IdentificationTest, ALinkLostDuringIdentificationIsAConnectErrorNotAFileType) {
    for (std::size_t closeAt : {2U, 3U, 4U}) {
        SCOPED_TRACE(closeAt);
        panel = RecordingPanel{};
        useFirmware(0x8401, 512);
        panel.options.linkKind = kLinkNet;
        device->closeLinkAtRequest = closeAt;
        EXPECT_EQ(run(), MessageRow::msgConnectError);
        EXPECT_EQ(panel.reason,
                  "the link was lost during identification (connection closed by the device)");
        expectLinkClosed();
    }
    // Another model that answers is the file type error, with both codes.
    panel = RecordingPanel{};
    useFirmware(0x8401, 512);
    device->model = 0x8081;
    EXPECT_EQ(run(), MessageRow::msgFileTypeError);
    EXPECT_EQ(panel.reason, "the device's model 0x8081 differs from the file's 0x8401");
}

TEST_F(IdentificationTest, Model8401VersionQueryIsTriedNineTimes) {
    useFirmware(0x8401, 512);
    device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
        if (r.command == 0x6037) {
            return std::vector<std::uint8_t>{0x84, 0x00, 0x01, 0x00, 0x00, 0x00};
        }
        return device->healthyBinary(r);
    };
    EXPECT_EQ(run(), MessageRow::msgFileTypeError);
    const auto queries = device->binary(0x6037);
    ASSERT_EQ(queries.size(), 9U);
    // 100 ms wait + 10 ms send pause between attempts on a serial line.
    EXPECT_EQ(queries[1].atMs - queries[0].atMs, 110);
}

TEST_F(IdentificationTest, NetDeviceThatNeverConnectsEndsWithConnectErrorAfterFiveSeconds) {
    useFirmware(0x8401, 512);
    panel.options.linkKind = kLinkNet;
    device->tcpConnects = false;
    EXPECT_EQ(run(), MessageRow::msgConnectError);
    EXPECT_TRUE(device->requests.empty());
    EXPECT_GE(clock.nowMs(), 5000);
    EXPECT_LT(clock.nowMs(), 8000);
}

TEST_F(IdentificationTest, HardwareVariantTagMustAppearInTheIspVersion) {
    struct Case {
        std::string name, fileName;
        std::uint16_t isp;
        MessageRow expected;
        int storedSettings = 0;  // kept once the device has passed every check
    };
    const std::vector<Case> cases = {
        {"APP c1", "fw.TVB", 0x00C1, MessageRow::msgUpgradeOk},      // name upper-cased
        {"APP c1", "fw.TVB", 0x00C3, MessageRow::msgFileTypeError},  // tag C1 missing
        {"APP", "fw_C3.TVB", 0x00C3, MessageRow::msgUpgradeOk},
        {"APP", "fw_C3.TVB", 0x0001, MessageRow::msgFileTypeError},
        {"APP", "fw_c3.TVB", 0x0001, MessageRow::msgUpgradeOk},  // file name not upper-cased
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.fileName);
        panel = RecordingPanel{};
        useFirmware(0x8405, 256, c.name, c.fileName);
        device->isp = c.isp;
        EXPECT_EQ(run(), c.expected == MessageRow::msgUpgradeOk ? MessageRow::msgProgramError
                                                                : c.expected);
        // 0x8405 passes identification but has no command codes of its own:
        // programming then fails at once without sending a page.
        if (c.expected == MessageRow::msgUpgradeOk) {
            EXPECT_NE(
                std::find(panel.messages.begin(), panel.messages.end(), MessageRow::msgConnectOk),
                panel.messages.end());
            EXPECT_EQ(panel.counter(ErrorCounter::Program), 0);
            EXPECT_TRUE(device->binary(0x0039).empty());
        }
    }
}

TEST_F(IdentificationTest, ReportedModelIsNormalisedButTheFileCodeIsNot) {
    useFirmware(0x8501, 256);
    device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
        if (r.command == 0x0001) {
            return be16Model(0x8503);
        }
        return device->healthyBinary(r);
    };
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);

    panel = RecordingPanel{};
    useFirmware(0x8503, 256);
    EXPECT_EQ(run(), MessageRow::msgFileTypeError);
}

TEST_F(IdentificationTest, TextFamilyUsesTwoOrFourDigitAddressesAndMovesTheId) {
    for (int id : {7, 123}) {
        panel = RecordingPanel{};
        useFirmware(0x8801, 512);
        panel.options.deviceId = id;
        EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
        const std::string prefix = id < 100 ? "07" : "0123";
        EXPECT_EQ(device->requests[0].text, prefix + "AS");
        EXPECT_EQ(device->texts("AS")[1].text, prefix + "AS1");
        EXPECT_EQ(panel.shownDeviceId, id);
        EXPECT_EQ(panel.deviceFields[0], "8801");
        EXPECT_EQ(panel.deviceFields[3], "");
        for (const auto& r : device->requests) {
            EXPECT_EQ(r.kind, R::Text) << "the text family never gets a binary frame";
        }
    }
}

TEST_F(IdentificationTest, TextFamilyModelMismatchIsAConnectError) {
    useFirmware(0x8801, 512);
    device->model = 0x8901;
    EXPECT_EQ(run(), MessageRow::msgConnectError);
    expectLinkClosed();
}

TEST_F(IdentificationTest, FirmwareFileGoneBeforeTheLoadEndsTheRunBeforeWriting) {
    useFirmware(0x8401, 1024);
    std::filesystem::remove(image.firmwarePath);
    EXPECT_EQ(run(), MessageRow::msgLoadFileError);
    EXPECT_EQ(panel.lamp, LampColour::Red);
    EXPECT_TRUE(device->binary(0x603B).empty());
    EXPECT_TRUE(device->binary(0x6039).empty());
    expectLinkClosed();
}

}  // namespace
}  // namespace flashmere::testing
