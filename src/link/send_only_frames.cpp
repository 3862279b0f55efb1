#include "link/send_only_frames.h"

#include <algorithm>

#include "link/crc.h"
#include "link/reply_frame.h"

namespace flashmere {

std::vector<std::uint8_t> buildTabFrame(std::string_view text) {
    text = text.substr(0, std::min(text.size(), kFrameBufferSize - 4));
    std::vector<std::uint8_t> frame;
    frame.reserve(text.size() + 4);
    frame.push_back(0x09);
    frame.insert(frame.end(), text.begin(), text.end());
    std::uint8_t sum = 0;
    for (std::uint8_t b : frame) {
        sum ^= b;
    }
    for (char c : hexByte(sum)) {
        frame.push_back(static_cast<std::uint8_t>(c));
    }
    frame.push_back(0x0D);
    return frame;
}

std::vector<std::uint8_t> buildAAFrame(std::span<const std::uint8_t> data) {
    data = data.first(std::min<std::size_t>(data.size(), 255));
    std::vector<std::uint8_t> frame(data.size() + 6, 0x00);
    frame[0] = 0xAA;
    frame[2] = static_cast<std::uint8_t>(data.size() + 2);
    std::copy(data.begin(), data.end(), frame.begin() + 5);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        sum ^= frame[i];
    }
    frame.back() = sum;
    return frame;
}

namespace {
constexpr std::array<std::uint8_t, 19> kFixedBlockBody = {0x05, 0x00, 0x12, 0x84, 0x01, 0x00, 0x38,
                                                          0x00, 0x00, 0x00, 0x00, 0x6D, 0x2E, 0x00,
                                                          0x00, 0x00, 0x00, 0x00, 0x00};

std::array<std::uint8_t, 21> makeFixedBlock() {
    std::array<std::uint8_t, 21> block{};
    std::copy(kFixedBlockBody.begin(), kFixedBlockBody.end(), block.begin());
    const std::uint16_t crc = crc16Kermit(std::span(kFixedBlockBody).subspan(1));
    block[19] = static_cast<std::uint8_t>(crc >> 8);
    block[20] = static_cast<std::uint8_t>(crc & 0xFF);
    return block;
}
}  // namespace

const std::array<std::uint8_t, 21> kFixedBlock = makeFixedBlock();

}  // namespace flashmere
