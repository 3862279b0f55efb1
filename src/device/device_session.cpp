#include "device/device_session.h"

#include <algorithm>
#include <cstdio>

namespace flashmere {

DeviceSession::DeviceSession(OperatorPanel& panelIn, LinkChannel& linkIn, Clock& clockIn,
                             FirmwareImage& imageIn, const OperatorOptions& optionsIn)
    : panel(panelIn),
      link(linkIn),
      clock(clockIn),
      image(imageIn),
      options(optionsIn),
      deviceAddress_(static_cast<std::uint16_t>(std::clamp(optionsIn.deviceId, 0, 9999))) {
    applyLinkOptions(link, options);
}

void DeviceSession::moveDeviceAddress(std::uint16_t address) {
    deviceAddress_ = address;
    panel.showDeviceId(address);
}

void DeviceSession::show(MessageRow row) {
    lastMessage_ = row;
    lastReason_.clear();
    panel.showMessage(row);
}

void DeviceSession::show(MessageRow row, const std::string& reason) {
    show(row);
    lastReason_ = reason;
    panel.showMessageReason(reason);
}

void DeviceSession::setCounter(ErrorCounter which, int value) {
    counters_[static_cast<int>(which)] = value;
    panel.setErrorCounter(which, value);
}

bool DeviceSession::exchange(std::uint16_t command, std::span<const std::uint8_t> payload) {
    return exchangeBinaryFrame(link, deviceAddress_, command, payload);
}

void DeviceSession::failureSignal() {
    panel.setBusyIndicator(false);
    panel.setLamp(LampColour::Red);
    panel.tone(300, 300);
}

void DeviceSession::successSignal() {
    panel.setBusyIndicator(false);
    panel.setLamp(LampColour::Yellow);
    panel.tone(1000, 300);
}

void applyLinkOptions(LinkChannel& link, const OperatorOptions& options) {
    link.linkKind = options.linkKind;
    link.settings = options.link;
    link.pinText = options.pinText;
}

std::string fourDigits(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u", value);
    return text;
}

std::string addressPrefix(std::uint16_t address) {
    char text[16];
    std::snprintf(text, sizeof text, address < 100 ? "%02u" : "%04u", unsigned{address});
    return text;
}

}  // namespace flashmere
