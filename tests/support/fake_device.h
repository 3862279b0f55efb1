#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/transport.h"
#include "link/virtual_clock.h"
#include "tests/support/fake_transport.h"

namespace flashmere::testing {

// One request as the device saw it.
struct SeenRequest {
    enum Kind { Binary, Text, Tab, AA, Fixed, Unknown };
    std::int64_t atMs = 0;
    Kind kind = Unknown;
    std::uint16_t address = 0;
    std::uint16_t command = 0;
    std::optional<std::uint16_t> pin;
    std::vector<std::uint8_t> payload;  // binary payload or the raw frame of send-only kinds
    std::string text;                   // text command
    bool answered = false;

    // The page address of an erase, program or read head (bytes 5..7).
    std::uint32_t headAddress() const;
};

// A scripted device for engine tests on a virtual clock: it records every
// request with its time and answers through handlers that tests replace.
// A handler returning nullopt leaves the request unanswered.
class FakeDevice {
  public:
    using BinaryHandler =
        std::function<std::optional<std::vector<std::uint8_t>>(const SeenRequest&, int callIndex)>;
    using TextHandler =
        std::function<std::optional<std::string>(const SeenRequest&, int callIndex)>;

    // A healthy loader of the given model that keeps programmed pages.
    explicit FakeDevice(std::uint16_t model);

    std::uint16_t model;
    std::uint16_t deviceId = 0;
    std::uint16_t isp = 0x0C31;
    std::string name = "FAKE DEVICE";
    BinaryHandler onBinary;
    TextHandler onText;
    // Programmed pages by device address.
    std::map<std::uint32_t, std::vector<std::uint8_t>> memory;

    std::vector<SeenRequest> requests;
    int opens = 0;
    int closes = 0;
    bool serialOpenFails = false;
    bool tcpConnects = true;
    // The device closes the link when it receives request number N (from
    // 1, counted over the whole run) without answering it; 0: never.
    std::size_t closeLinkAtRequest = 0;

    // Requests of one kind/command, in order.
    std::vector<SeenRequest> binary(std::uint16_t command) const;
    std::vector<SeenRequest> texts(const std::string& code) const;

    // Default answers of a healthy device, for handlers that wrap them.
    std::optional<std::vector<std::uint8_t>> healthyBinary(const SeenRequest& r);
    std::optional<std::string> healthyText(const SeenRequest& r);

    // Called by the fake transport: parse, record, answer.
    std::vector<std::uint8_t> handle(const std::vector<std::uint8_t>& frame, std::int64_t now);

  private:
    std::map<std::string, int> calls_;
};

class FakeTransportFactory : public TransportFactory {
  public:
    FakeTransportFactory(FakeDevice& device, VirtualClock& clock)
        : device_(device), clock_(clock) {}
    std::unique_ptr<Transport> openSerial(const std::string&, const std::string&,
                                          TraceSink&) override;
    std::unique_ptr<Transport> openTcp(const std::string&, std::uint16_t,
                                       std::int64_t connectTimeoutMs) override;

  private:
    std::unique_ptr<Transport> open(bool connected);

    FakeDevice& device_;
    VirtualClock& clock_;
};

}  // namespace flashmere::testing
