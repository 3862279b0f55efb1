#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/link_channel.h"
#include "link/transport.h"
#include "operator/operator_panel.h"

namespace flashmere {

// What a device told about itself when it was asked by its ID.
struct ProbeAnswer {
    std::uint16_t id = 0;
    bool textFamily = false;
    std::string model;    // "8401"
    std::string name;     // as the device sent it (outside text: escape before showing)
    std::string version;  // "0100"
    std::string isp;      // binary family only
    std::string serial;   // "12345678"
    // The device answered its ID but refused the PIN (binary family): it is
    // there, and tells nothing more until the right PIN is given.
    bool pinRefused = false;
};

// Asks the devices behind one link who they are, one ID at a time, with the
// identification requests only: binary 0x0001 (model, serial number, ID) and
// 0x0003 (name, versions), then for the text family AS1 (model, serial
// number, name, version). None of them changes a device's state. Each
// request waits at most replyWaitMs for its reply; an answer counts only when
// it names the ID that was asked, so a device that answers any address is
// found once, at its own ID. A request whose reply came damaged or cut short
// is asked again, up to kAsksPerRequest times in all; a request met by
// silence (or by bytes still coming at its deadline: a chattering line) is
// asked once, so that a scan of many absent IDs stays short.
constexpr int kAsksPerRequest = 3;

class DeviceProbe {
  public:
    DeviceProbe(TransportFactory& transports, Clock& clock, TraceSink& trace,
                const OperatorOptions& options, std::int64_t replyWaitMs);
    DeviceProbe(const DeviceProbe&) = delete;
    DeviceProbe& operator=(const DeviceProbe&) = delete;

    // Opens the link; false when the port cannot be opened or the TCP
    // connection does not come up, and openFailure() then tells why, in the
    // words of an upgrade's reason line.
    bool open();
    const std::string& openFailure() const { return openFailure_; }
    std::optional<ProbeAnswer> probe(std::uint16_t id);
    void close();

  private:
    std::optional<ProbeAnswer> probeBinary(std::uint16_t id);
    std::optional<ProbeAnswer> probeText(std::uint16_t id);
    bool askBinary(std::uint16_t id, std::uint16_t command);
    bool askText(std::uint16_t id);
    bool askAgain(int asked) const;

    LinkChannel link_;
    std::string openFailure_;
};

}  // namespace flashmere
