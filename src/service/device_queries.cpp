#include <algorithm>

#include "device/device_session.h"
#include "device/link_failure.h"
#include "link/binary_frame.h"
#include "link/link_channel.h"
#include "service/service_functions.h"

namespace flashmere {

namespace {

constexpr std::uint16_t kQueryAddress = 1;

// Why an opened link brought no answer to the query, and what to check.
std::string unansweredReason(const LinkChannel& link) {
    if (std::string failed = linkOpenFailure(link, true, ""); !failed.empty()) {
        return failed;
    }
    const std::string where = describeLink(link);
    if (link.lastEnd() == ExchangeEnd::WriteFailed) {
        return where + ": " + link.writeFailure();
    }
    if (link.lost()) {
        return where + ": " + link.lossNote();
    }
    if (link.framesAccepted() == 0 && link.noisyExchanges() > 0) {
        return noiseOnTheLine(link) + ": is another device or program sending on this line?" +
               (link.isNet() ? "" : " are the port's settings right?");
    }
    if (link.bytesReceived() == 0) {
        // Devices answer a query to address 1 whatever their ID: silence is
        // not a wrong ID but no device, or a wrong link.
        return "no reply on " + where + " within " + std::to_string(link.silenceLimitMs) +
               " ms: is a device connected there and powered?" +
               (link.isNet() ? "" : " are the port's settings right?");
    }
    return where +
           " sent bytes that were no reply to the query (a bad check sum, or another "
           "device's frame)";
}

}  // namespace

QueryResult runDeviceQuery(ServiceContext& context, DeviceQuery query) {
    QueryResult result;
    LinkChannel link(context.transports, context.clock, context.panel);
    applyLinkOptions(link, context.options);
    if (!link.openLink()) {
        result.failure = linkOpenFailure(link, false, "");
        return result;
    }
    result.linkOpened = true;
    const auto command = static_cast<std::uint16_t>(query);
    result.request = buildBinaryRequest(kQueryAddress, command, {}, pinFieldFor(link.pinText));
    result.answered = exchangeBinaryFrame(link, kQueryAddress, command);
    result.sent = link.bytesSent() > 0;
    if (result.answered) {
        const std::size_t n = std::min<std::size_t>(link.reply.payloadLength, kFrameBufferSize);
        result.replyPayload.assign(link.reply.payload.begin(),
                                   link.reply.payload.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
        result.failure = unansweredReason(link);
    }
    link.closeLink();
    return result;
}

}  // namespace flashmere
