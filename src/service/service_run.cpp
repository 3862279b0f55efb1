#include "service/service_run.h"

#include "device/device_protocol.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {

ServiceRun::ServiceRun(ServiceContext& c, FirmwareImage& image)
    : link(c.transports, c.clock, c.panel), session(c.panel, link, c.clock, image, c.options) {}

ServiceRun::~ServiceRun() {
    link.closeLink();
}

std::optional<RunOutcome> ServiceRun::start() {
    if (!link.openLink()) {
        return endUntouched(session.panel, RunEnding::LinkNotOpened, MessageRow::msgOpenPortError,
                            "cannot open the link: " + serviceLinkText(session.options));
    }
    session.show(MessageRow::msgProgramming);
    session.panel.setBusyIndicator(true);
    return std::nullopt;
}

std::string serviceLinkText(const OperatorOptions& options) {
    if (options.linkKind == kLinkNet) {
        return "TCP " + options.link.netIP + ":" + std::to_string(tcpPortFor(options.link.netPort));
    }
    return "serial port " + options.link.comPortName + " (" + options.link.comBaudRate + ")";
}

RunOutcome endUntouched(OperatorPanel& panel, RunEnding ending, MessageRow row,
                        const std::string& reason) {
    panel.showMessage(row);
    panel.showMessageReason(reason);
    panel.setBusyIndicator(false);
    panel.setLamp(LampColour::Red);
    panel.tone(300, 300);
    return {ending, row, reason};
}

RunOutcome endNotServed(OperatorPanel& panel, const char* function, std::uint16_t fileModel) {
    const std::string serves = std::string(function) + " serves model " + hexWord(kServiceModel);
    if (fileModel == 0) {
        return endUntouched(panel, RunEnding::FileRejected, MessageRow::msgSelectFile,
                            serves + " only: choose a firmware file of that model first");
    }
    return endUntouched(panel, RunEnding::FileRejected, MessageRow::msgFileTypeError,
                        serves + " only; the firmware file is for model " + hexWord(fileModel));
}

RunOutcome endedAs(const DeviceSession& s, RunEnding ending) {
    return {ending, s.lastMessage(), s.lastReason()};
}

std::optional<RunOutcome> refuseUnlessServedDevice(DeviceSession& s, const char* function) {
    const std::string device = "device ID " + std::to_string(s.deviceAddress());
    auto refuse = [&](RunEnding ending, MessageRow row, const std::string& reason) {
        s.show(row, reason);
        s.failureSignal();
        return endedAs(s, ending);
    };
    if (!s.exchange(kHelloCommand)) {
        return refuse(RunEnding::NoAnswer, MessageRow::msgConnectError,
                      s.link.lost() ? linkLostReason(s, function)
                                    : device + " did not answer the hello request on " +
                                          serviceLinkText(s.options));
    }
    const ReplyFrame& reply = s.link.reply;
    if (reply.payloadLength == 0) {
        return refuse(RunEnding::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " refused the PIN");
    }
    if (reply.payloadLength != 8) {
        return refuse(RunEnding::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " answered the hello request with " +
                          std::to_string(reply.payloadLength) +
                          " bytes instead of its model, serial number and ID");
    }
    const std::uint16_t model = replyWord(reply, 0);
    if (model != kServiceModel) {
        return refuse(RunEnding::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " reports model " + hexWord(model) + "; " + function +
                          " serves model " + hexWord(kServiceModel) + " only");
    }
    return std::nullopt;
}

}  // namespace flashmere
