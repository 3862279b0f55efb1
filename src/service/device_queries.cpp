#include <algorithm>

#include "device/device_session.h"
#include "link/binary_frame.h"
#include "link/link_channel.h"
#include "service/service_functions.h"

namespace flashmere {

QueryResult runDeviceQuery(ServiceContext& context, DeviceQuery query) {
    constexpr std::uint16_t kQueryAddress = 1;
    QueryResult result;
    LinkChannel link(context.transports, context.clock, context.panel);
    applyLinkOptions(link, context.options);
    if (!link.openLink()) {
        return result;
    }
    result.linkOpened = true;
    const auto command = static_cast<std::uint16_t>(query);
    result.request = buildBinaryRequest(kQueryAddress, command, {}, pinFieldFor(link.pinText));
    result.answered = exchangeBinaryFrame(link, kQueryAddress, command);
    if (result.answered) {
        const std::size_t n = std::min<std::size_t>(link.reply.payloadLength, kFrameBufferSize);
        result.replyPayload.assign(link.reply.payload.begin(),
                                   link.reply.payload.begin() + static_cast<std::ptrdiff_t>(n));
    }
    link.closeLink();
    return result;
}

}  // namespace flashmere
