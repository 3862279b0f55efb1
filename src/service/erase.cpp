#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "device/device_protocol.h"
#include "device/request_retries.h"
#include "service/service_functions.h"
#include "service/service_run.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr int kEraseProgressMaximum = 96;

std::string addressText(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// Refuses an image that is not of the served model or holds no page, before
// the link is opened.
std::optional<RunOutcome> refuseImage(OperatorPanel& panel, const FirmwareImage& image) {
    if (image.modelCode != kServiceModel) {
        return endNotServed(panel, "the erase", image.modelCode);
    }
    if (image.pageCount <= 0) {
        return endUntouched(panel, RunEnding::ProgramFailed, MessageRow::msgProgramError,
                            "the firmware image holds no page: there is nothing to erase");
    }
    return std::nullopt;
}

// Puts the device into its loader: each pass sends the mode request twice,
// then a hello request. Whether the device answered is not used.
void enterLoader(DeviceSession& s) {
    const RetryPolicy passes{
        .attempts = 5, .retryPauseMs = 50, .onLostLink = OnLostLink::KeepTrying};
    sendWithRetries(s, passes, [&] {
        s.exchange(serviceCommands().mode, kLoaderModePayload);
        s.pause(100);
        s.exchange(serviceCommands().mode, kLoaderModePayload);
        s.pause(100);
        return s.exchange(kHelloCommand);
    });
}

// The service model's programming profile: where its erase blocks begin
// (erasesBefore), their addresses and address form.
const ProgramProfile& serviceProfile() {
    return *serviceFamily().programming;
}

std::uint32_t pageAddress(int pageIndex) {
    return serviceProfile().baseAddress +
           static_cast<std::uint32_t>(pageIndex) *
               static_cast<std::uint32_t>(serviceFamily().layout.pageSize);
}

// Erases the blocks that pageCount pages cover, each request retried once.
// The address of the block that stayed unerased; none when every block was
// erased.
std::optional<std::uint32_t> eraseBlocks(DeviceSession& s, int pageCount, int& blocksErased) {
    s.panel.setProgramRange(kEraseProgressMaximum);
    for (int i = 0; i < pageCount; ++i) {
        if (erasesBefore(serviceProfile(), i)) {
            s.pause(10);
            const std::uint32_t address = pageAddress(i);
            const auto head = pageRequestHead(address, serviceProfile().form);
            if (!s.exchange(serviceCommands().erase, head)) {
                s.bumpErrorCounter(ErrorCounter::Erase);
                s.pause(100);
                if (!s.exchange(serviceCommands().erase, head)) {
                    return address;
                }
            }
            ++blocksErased;
            s.pause(200);
        }
        // The bar counts pages up to its maximum; a larger image keeps it full.
        s.panel.setProgramPosition(std::min(i, kEraseProgressMaximum));
    }
    return std::nullopt;
}

}  // namespace

EraseBlocks eraseBlocksFor(int pageCount) {
    EraseBlocks blocks;
    for (int i = 0; i < pageCount; ++i) {
        if (erasesBefore(serviceProfile(), i)) {
            if (blocks.count == 0) {
                blocks.firstAddress = pageAddress(i);
            }
            blocks.lastAddress = pageAddress(i);
            ++blocks.count;
        }
    }
    return blocks;
}

EraseResult eraseDeviceBlocks(ServiceContext& c, FirmwareImage& image) {
    EraseResult result;
    if (const auto refused = refuseImage(c.panel, image)) {
        result.outcome = *refused;
        return result;
    }
    ServiceRun run(c, image);
    if (auto notOpened = run.start()) {
        result.outcome = *notOpened;
        return result;
    }
    DeviceSession& s = run.session;
    s.adoptCounter(ErrorCounter::Erase, c.eraseErrors);
    enterLoader(s);
    s.pause(100);
    if (const auto refused = refuseUnlessServedDevice(s, "the erase")) {
        result.outcome = *refused;
        return result;
    }
    const auto failedAddress = eraseBlocks(s, image.pageCount, result.blocksErased);
    if (failedAddress) {
        const std::string erased =
            std::to_string(result.blocksErased) + " blocks before it were erased";
        s.show(MessageRow::msgProgramError,
               s.link.lost() ? linkLostReason(s, "the erase") + "; " + erased
                             : "the erase request for the block at " + addressText(*failedAddress) +
                                   " was not answered, nor its retry; " + erased);
        s.failureSignal();
        result.outcome = endedAs(s, RunEnding::ProgramFailed);
        return result;
    }
    s.panel.setProgramPosition(kEraseProgressMaximum);
    s.show(MessageRow::msgProgramOk);
    s.successSignal();
    result.outcome = endedAs(s, RunEnding::Done);
    return result;
}

}  // namespace flashmere
