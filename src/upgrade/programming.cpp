#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/device_protocol.h"
#include "device/model_tables.h"
#include "device/request_retries.h"
#include "link/crc.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr const char* kStage = "programming";
constexpr const char* kNeverAcknowledged = "was never acknowledged";

// Every page is sent up to three times, each failure counted in ErrorCounter::Program.
constexpr RetryPolicy kPageRetries{
    .attempts = 3, .retryPauseMs = 200, .counter = ErrorCounter::Program};

// Erases the block that starts at the page, retried once; why the stage
// ends when it failed.
std::optional<std::string> eraseBlock(DeviceSession& s, const ModelFamily& family, PageRef page,
                                      std::span<const std::uint8_t> head) {
    const ProgramProfile& p = *family.programming;
    if (p.pauseBeforeEraseMs > 0) {
        s.pause(p.pauseBeforeEraseMs);
    }
    s.programTouched = true;
    if (!s.exchange(family.commands.erase, head)) {
        s.bumpErrorCounter(ErrorCounter::Erase);
        if (s.link.lost()) {
            return linkLostReason(s, kStage);
        }
        s.pause(p.eraseRetryPauseMs);
        if (!s.exchange(family.commands.erase, head)) {
            if (s.link.lost()) {
                return linkLostReason(s, kStage);
            }
            const std::string erase = "the erase of " + describePages({page});
            return s.link.lastEnd() == ExchangeEnd::WriteFailed
                       ? erase + " was not sent: " + s.link.writeFailure()
                       : erase + " was never acknowledged";
        }
    }
    s.pause(50);
    if (p.extraPauseAfterEraseMs > 0) {
        s.pause(p.extraPauseAfterEraseMs);
    }
    return std::nullopt;
}

}  // namespace

StageResult programPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return stageFailed(startUnanswered(s, "connect command", kStage));
    }
    StageResult result;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    const auto pageSize = static_cast<std::uint32_t>(pageLayoutFor(s.image.modelCode).pageSize);
    s.panel.setProgramRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        const std::uint32_t address = static_cast<std::uint32_t>(i) * pageSize;
        char head[32];
        std::snprintf(head, sizeof head, "%04uYP%08X", unsigned{s.deviceAddress()},
                      static_cast<unsigned>(address));
        std::string line = head;
        for (std::uint8_t b : s.image.page(i, static_cast<int>(pageSize))) {
            line += hexByte(b);
        }
        s.pause(1);
        s.programTouched = true;
        const bool done = sendWithRetries(s, kPageRetries, [&] { return s.exchangeText(line); });
        if (!done && pageGivenUp(s, result, {i, address}, kStage, kNeverAcknowledged)) {
            return result;
        }
        s.panel.setProgramPosition(i);
    }
    s.panel.setProgramPosition(pageCount);
    return result;
}

StageResult programPagesBinary(DeviceSession& s) {
    if (const auto refusal = programmingRefusal(s.image.modelCode, s.image.pageCount)) {
        return stageFailed(*refusal);
    }
    const ModelFamily* family = loaderFamilyFor(s.image.modelCode);
    const ProgramProfile& p = *family->programming;
    const int pageSize = family->layout.pageSize;
    const int pageCount = s.image.pageCount;
    s.pause(p.pauseBeforeHelloMs);
    if (!s.exchange(kHelloCommand)) {
        return stageFailed(startUnanswered(s, "hello request", kStage));
    }
    StageResult result;
    s.pause(p.pauseAfterHelloMs);
    s.panel.setProgramRange(pageCount);

    std::vector<std::uint8_t> request(8 + static_cast<std::size_t>(pageSize));
    for (int i = 0; i < pageCount; ++i) {
        const std::uint32_t address = p.baseAddress + static_cast<std::uint32_t>(i * pageSize);
        const auto head = pageRequestHead(address, p.form);
        if (erasesBefore(p, i)) {
            if (auto failure = eraseBlock(s, *family, {i, address}, head)) {
                return stageFailed(*failure);
            }
        }
        const auto data = s.image.page(i, pageSize);
        std::copy(head.begin(), head.end(), request.begin());
        std::copy(data.begin(), data.end(), request.begin() + 8);
        s.pause(5);
        if (p.tracePages) {
            s.panel.setPageTrace(hexTrace(data));
        }
        s.programTouched = true;
        const bool done = sendWithRetries(
            s, kPageRetries, [&] { return s.exchange(family->commands.program, request); });
        if (!done && pageGivenUp(s, result, {i, address}, kStage, kNeverAcknowledged)) {
            return result;
        }
        s.panel.setProgramPosition(i);
        if (p.pauseAfterPageMs > 0) {
            s.pause(p.pauseAfterPageMs);
        }
    }
    s.panel.setProgramPosition(pageCount);
    return result;
}

}  // namespace flashmere
