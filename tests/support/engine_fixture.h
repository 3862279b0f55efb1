#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "tests/firmware/scratch_dir.h"
#include "tests/support/fake_device.h"
#include "tests/support/recording_panel.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::testing {

// One engine run against a scripted device on a virtual clock.
class EngineTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    VirtualClock clock;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<FakeTransportFactory> factory;
    RecordingPanel panel;
    FirmwareImage image;

    // A firmware file of `pages` pages of the model's page size, with a
    // distinct byte pattern per page, selected as the operator would.
    void useFirmware(std::uint16_t model, int bodyBytes, const std::string& name = "FW1",
                     const std::string& fileName = "fw.TVB") {
        device = std::make_unique<FakeDevice>(model);
        factory = std::make_unique<FakeTransportFactory>(*device, clock);
        std::vector<std::uint8_t> body(static_cast<std::size_t>(bodyBytes));
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
        }
        const std::string path = dir.file(fileName);
        ASSERT_TRUE(writeFirmwareFile(path, model, name, "V1.0", body).ok);
        ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
    }

    MessageRow run() {
        DeviceRunContext context{panel, *factory, clock, image};
        return upgradeDevice(context).message;
    }

    // The requests after identification, i.e. from the first hello that
    // follows the "Programming ..." message on.
    std::vector<SeenRequest> binaryRequests() const {
        std::vector<SeenRequest> out;
        for (const auto& r : device->requests) {
            if (r.kind == SeenRequest::Binary) {
                out.push_back(r);
            }
        }
        return out;
    }

    void expectLinkClosed() const { EXPECT_EQ(device->opens, device->closes); }
};

}  // namespace flashmere::testing
