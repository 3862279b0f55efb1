#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/device_session.h"
#include "firmware/model_family.h"
#include "link/link_channel.h"
#include "service/service_functions.h"

namespace flashmere {

// The loader requests the erase and the read-back send: the served model's,
// as its family's row gives them.
inline const CommandSet& serviceCommands() {
    return modelFamilyFor(kServiceModel).commands;
}

// The link and device session of one erase or read-back, the link opened
// with the service's options and closed on every way out.
class ServiceRun {
  public:
    ServiceRun(ServiceContext& context, FirmwareImage& image);
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Opens the link, then shows "Programming..." and the busy indicator.
    // Nothing when the link opened; otherwise the ending, already shown.
    std::optional<RunOutcome> start();

    LinkChannel link;
    DeviceSession session;
};

// An ending before the device was asked anything: the message with its
// reason, and the failure signal.
RunOutcome endUntouched(OperatorPanel& panel, RunEnding ending, MessageRow row,
                        const std::string& reason);

// The ending of a service function that was given a file of another model
// than the one it serves, or none.
RunOutcome endNotServed(OperatorPanel& panel, const char* function, std::uint16_t fileModel);

// The outcome of a session whose last message, with its reason, ends it.
RunOutcome endedAs(const DeviceSession& session, RunEnding ending);

// Sends the hello request. Nothing when a device of the served model
// answered it; otherwise the ending, already shown with its reason.
std::optional<RunOutcome> refuseUnlessServedDevice(DeviceSession& session, const char* function);

}  // namespace flashmere
