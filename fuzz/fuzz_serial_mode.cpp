// Serial mode strings as an operator types them or the settings store holds
// them. Whatever is accepted lies within the ranges a port can run, and
// written back in the long form it reads as the same mode.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "link/serial_mode.h"

namespace flashmere::fuzz {
namespace {

bool knownBaud(std::uint32_t baud) {
    return baud >= kMinBaudRate && baud <= kMaxBaudRate;
}

std::string longForm(const SerialMode& mode) {
    static constexpr char kParity[] = {'n', 'e', 'o', 'm', 's'};
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    std::string text;
    if (mode.baudRate) {
        text += " baud=" + std::to_string(*mode.baudRate);
    }
    if (mode.parity) {
        text += " PARITY=";
        text += kParity[static_cast<std::size_t>(*mode.parity)];
    }
    if (mode.dataBits) {
        text += " data=" + std::to_string(*mode.dataBits);
    }
    if (mode.stopBits) {
        text += " Stop=";
        text += kStop[static_cast<std::size_t>(*mode.stopBits)];
    }
    return text;
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto mode = parseSerialMode(text);
    if (!mode) {
        return 0;
    }
    if (mode->baudRate) {
        FUZZ_CHECK(knownBaud(*mode->baudRate));
    }
    if (mode->parity) {
        FUZZ_CHECK(static_cast<std::uint8_t>(*mode->parity) <=
                   static_cast<std::uint8_t>(SerialParity::Space));
    }
    if (mode->dataBits) {
        FUZZ_CHECK(*mode->dataBits >= 5 && *mode->dataBits <= 8);
    }
    if (mode->stopBits) {
        FUZZ_CHECK(static_cast<std::uint8_t>(*mode->stopBits) <=
                   static_cast<std::uint8_t>(SerialStopBits::Two));
    }
    if (mode->dataBits && mode->stopBits) {
        FUZZ_CHECK(!(*mode->dataBits == 5 && *mode->stopBits == SerialStopBits::Two));
        FUZZ_CHECK(!(*mode->dataBits > 5 && *mode->stopBits == SerialStopBits::OneAndHalf));
    }
    // Written back, the mode reads the same (a mode naming nothing has no text).
    const std::string again = longForm(*mode);
    if (!again.empty()) {
        const auto reread = parseSerialMode(again);
        FUZZ_CHECK(reread.has_value());
        FUZZ_CHECK(*reread == *mode);
    }
    return 0;
}
