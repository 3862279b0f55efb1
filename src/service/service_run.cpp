#include "service/service_run.h"

#include "device/device_protocol.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {

ServiceRun::ServiceRun(ServiceContext& c, FirmwareImage& image)
    : link(c.transports, c.clock, c.panel), session(c.panel, link, c.clock, image, c.options) {}

ServiceRun::~ServiceRun() {
    link.closeLink();
}

bool ServiceRun::start() {
    if (!link.openLink()) {
        endUntouched(session.panel, MessageRow::msgOpenPortError,
                     "cannot open the link: " + serviceLinkText(session.options));
        return false;
    }
    session.show(MessageRow::msgProgramming);
    session.panel.setBusyIndicator(true);
    return true;
}

std::string serviceLinkText(const OperatorOptions& options) {
    if (options.linkKind == kLinkNet) {
        return "TCP " + options.link.netIP + ":" + std::to_string(tcpPortFor(options.link.netPort));
    }
    return "serial port " + options.link.comPortName + " (" + options.link.comBaudRate + ")";
}

void endUntouched(OperatorPanel& panel, MessageRow row, const std::string& reason) {
    panel.showMessage(row);
    panel.showMessageReason(reason);
    panel.setBusyIndicator(false);
    panel.setLamp(LampColour::Red);
    panel.tone(300, 300);
}

void endNotServed(OperatorPanel& panel, const char* function, std::uint16_t fileModel) {
    const std::string serves = std::string(function) + " serves model " + hexWord(kServiceModel);
    if (fileModel == 0) {
        endUntouched(panel, MessageRow::msgSelectFile,
                     serves + " only: choose a firmware file of that model first");
    } else {
        endUntouched(panel, MessageRow::msgFileTypeError,
                     serves + " only; the firmware file is for model " + hexWord(fileModel));
    }
}

std::optional<ServiceOutcome> refuseUnlessServedDevice(DeviceSession& s, const char* function) {
    const std::string device = "device ID " + std::to_string(s.deviceAddress());
    auto refuse = [&](ServiceOutcome outcome, MessageRow row, const std::string& reason) {
        s.show(row, reason);
        s.failureSignal();
        return outcome;
    };
    if (!s.exchange(kHelloCommand)) {
        return refuse(ServiceOutcome::NoAnswer, MessageRow::msgConnectError,
                      s.link.lost() ? linkLostReason(s, function)
                                    : device + " did not answer the hello request on " +
                                          serviceLinkText(s.options));
    }
    const ReplyFrame& reply = s.link.reply;
    if (reply.payloadLength == 0) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " refused the PIN");
    }
    if (reply.payloadLength != 8) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " answered the hello request with " +
                          std::to_string(reply.payloadLength) +
                          " bytes instead of its model, serial number and ID");
    }
    const std::uint16_t model = replyWord(reply, 0);
    if (model != kServiceModel) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " reports model " + hexWord(model) + "; " + function +
                          " serves model " + hexWord(kServiceModel) + " only");
    }
    return std::nullopt;
}

}  // namespace flashmere
