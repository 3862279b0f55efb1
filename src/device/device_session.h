#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/firmware_image.h"
#include "link/clock.h"
#include "link/link_channel.h"
#include "operator/operator_panel.h"

namespace flashmere {

// What a read-only request in the other protocol family found at the ID.
struct OtherFamilyAnswer {
    std::string note;         // what answered, for the reason
    bool otherModel = false;  // a device of a model other than the file's answered
    std::string model;        // the model it reported, "8401"; empty when it told none
    std::string serial;       // its serial number; empty when it told none
};
// Asks the device ID once, read-only, in the protocol family that the file's
// model does not use; empty when nothing answered there.
using OtherFamilyCheck = std::function<std::optional<OtherFamilyAnswer>(std::uint16_t id)>;

// The state one device operation works on: the open link, the window it
// reports to, the options it read at its start and the firmware image.
// The window stays live because operations run on a worker thread, so the
// waits below are plain sleeps.
class DeviceSession {
  public:
    DeviceSession(OperatorPanel& panel, LinkChannel& link, Clock& clock, FirmwareImage& image,
                  const OperatorOptions& options);

    OperatorPanel& panel;
    LinkChannel& link;
    Clock& clock;
    FirmwareImage& image;
    const OperatorOptions options;
    // Asked when identification got no byte back; none: not asked.
    OtherFamilyCheck askOtherFamily;
    // An erase or a page went out: the device's old program may be gone, and
    // a run that fails from here leaves the device in its boot loader.
    bool programTouched = false;
    // Set when the image was loaded before the run (a fleet loads each file
    // once for all its devices): identification takes this outcome instead
    // of reading the file again.
    const ImageLoad* preloaded = nullptr;

    // The device ID that every command carries (sbID); identification of the
    // text family moves it to the address the device reported.
    std::uint16_t deviceAddress() const { return deviceAddress_; }
    void moveDeviceAddress(std::uint16_t address);

    void show(MessageRow row);
    // Shows row with the reason beside it.
    void show(MessageRow row, const std::string& reason);
    MessageRow lastMessage() const { return lastMessage_; }
    const std::string& lastReason() const { return lastReason_; }
    void pause(std::int64_t ms) {
        if (ms > 0) {
            clock.sleepMs(ms);
        }
    }

    // The three error counters (failed erase, program and verify attempts).
    int counter(ErrorCounter which) const { return counters_[static_cast<int>(which)]; }
    void setCounter(ErrorCounter which, int value);
    void bumpErrorCounter(ErrorCounter which) { setCounter(which, counter(which) + 1); }
    // Takes over a counter's value as the window shows it, without showing it.
    void adoptCounter(ErrorCounter which, int value) { counters_[static_cast<int>(which)] = value; }

    // Binary request to the session's device address.
    bool exchange(std::uint16_t command, std::span<const std::uint8_t> payload = {});
    bool exchangeText(std::string_view text) { return exchangeTextCommand(link, text); }

    // Outcome signals of the endings.
    void failureSignal();  // busy off, lamp red, 300 Hz for 300 ms
    void successSignal();  // busy off, lamp yellow, 1000 Hz for 300 ms

  private:
    std::uint16_t deviceAddress_;
    MessageRow lastMessage_ = MessageRow::msgSelectFile;
    std::string lastReason_;
    std::array<int, 3> counters_{};
};

// Gives the link the kind, settings and PIN of the options.
void applyLinkOptions(LinkChannel& link, const OperatorOptions& options);

// "%04d" of the address, and the text commands' "%02d"-below-100 form.
std::string fourDigits(unsigned value);
std::string addressPrefix(std::uint16_t address);

}  // namespace flashmere
