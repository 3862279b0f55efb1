#include "device/link_failure.h"

namespace flashmere {

std::string describeLink(const LinkChannel& link) {
    const LinkSettings& s = link.settings;
    if (link.isNet()) {
        const bool v6 = s.netIP.find(':') != std::string::npos;
        const std::string host = v6 ? "[" + s.netIP + "]" : s.netIP;
        // The port as given when it is none: never a port that was not tried.
        const auto port = parseTcpPort(s.netPort);
        return host + ":" + (port ? std::to_string(*port) : s.netPort);
    }
    return s.comPortName + " (" + s.comBaudRate + ")";
}

std::string noiseOnTheLine(const LinkChannel& link) {
    return "noise on the line " + describeLink(link) + ": " + std::to_string(link.bytesReceived()) +
           " bytes in " + std::to_string(link.noisyExchanges()) +
           " requests, none of them a reply frame";
}

std::string linkOpenFailure(const LinkChannel& link, bool opened, const std::string& target) {
    const std::string what = describeLink(link) + (target.empty() ? "" : " for " + target);
    const std::string& why = link.openFailure();
    if (!opened) {
        return "cannot open " + what + ": " +
               (why.empty() ? std::string("the port did not open") : why);
    }
    return why.empty() ? std::string() : "cannot connect to " + what + ": " + why;
}

std::string linkFailureReason(const DeviceSession& session, MessageRow message) {
    const LinkChannel& link = session.link;
    const std::string id = "device ID " + std::to_string(session.deviceAddress());
    if (message == MessageRow::msgOpenPortError) {
        return linkOpenFailure(link, false, id);
    }
    if (message != MessageRow::msgConnectError) {
        return {};
    }
    if (std::string failed = linkOpenFailure(link, true, id); !failed.empty()) {
        return failed;
    }
    const std::string where = describeLink(link);
    if (link.lastEnd() == ExchangeEnd::WriteFailed) {
        return where + ": " + link.writeFailure();
    }
    if (link.framesAccepted() == 0 && link.noisyExchanges() > 0) {
        return noiseOnTheLine(link) + " of " + id +
               ": is another device or program sending on this line?" +
               (link.isNet() ? "" : " are the port's settings right?");
    }
    if (link.bytesReceived() == 0) {
        return "no reply from " + id + " on " + where + " within " +
               std::to_string(kSilenceLimitMs) +
               " ms: " + session.panel.noReplyAdvice(!link.isNet());
    }
    return where + " answered, but identification of " + id +
           " did not complete: is this the device's address, and the file for its model?";
}

}  // namespace flashmere
