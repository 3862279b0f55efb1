// The read-back's three files, byte for byte: they are compared with other
// tools' output, so the listing's line ends and spacing are the same on every
// system (no text-mode translation of "\n"). The folder is given as UTF-8
// text, as the window holds it, and named in Chinese.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/crc.h"
#include "link/virtual_clock.h"
#include "service/service_functions.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/firmware/scratch_dir.h"
#include "tests/support/recording_panel.h"

namespace flashmere {
namespace {

using testing::RecordingPanel;
using testing::ScratchDir;

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReadBack, FilesHoldTheDevicePagesByteForByte) {
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    SimDevice device(config);
    VirtualClock clock;
    SimTransportFactory transports(device, clock);
    OperatorOptions options;
    options.deviceId = 3;
    options.linkKind = kLinkNet;
    options.link.netIP = "127.0.0.1";
    RecordingPanel panel(options);
    ServiceContext context{panel, transports, clock, options};
    ScratchDir scratch;
    const auto out = scratch.path() / std::filesystem::path(u8"\u56DE\u8BFB");
    ASSERT_TRUE(std::filesystem::create_directory(out));

    const std::string folder = scratch.path().string() + "/\xE5\x9B\x9E\xE8\xAF\xBB";
    const ReadBackResult result = readBackDevice(context, 0x8401, folder);
    ASSERT_EQ(result.outcome, ServiceOutcome::Done) << result.error;
    ASSERT_EQ(result.pagesRead, kReadBackPageCount);

    const auto memory = device.memory();
    ASSERT_GE(memory.size(), kReadBackPageCount * 256U);
    std::string dump(32, '\0');
    std::string lines;  // 16 bytes a line
    std::string pages;  // a page a line, after its reply's payload length
    for (std::size_t page = 0; page < kReadBackPageCount; ++page) {
        pages += "[264]";
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint8_t byte = memory[page * 256 + i];
            dump += static_cast<char>(byte);
            lines += hexByte(byte) + " ";
            pages += hexByte(byte) + " ";
            if (i % 16 == 15) {
                lines += "\r\n";
            }
        }
        pages += "\r\n";
    }
    EXPECT_EQ(fileBytes(out / kReadBackDump), dump);
    EXPECT_EQ(fileBytes(out / kReadBackLines), lines);
    EXPECT_EQ(fileBytes(out / kReadBackPages), pages);
    const auto entries = std::filesystem::directory_iterator(out);
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 3);
    EXPECT_EQ(transports.openNow(), 0);
}

}  // namespace
}  // namespace flashmere
