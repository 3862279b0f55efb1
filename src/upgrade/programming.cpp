#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "link/crc.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kHello = 0x0001;
constexpr int kProgramAttempts = 3;
constexpr int kProgramRetryPauseMs = 200;

bool eraseDue(const ProgramProfile& p, int pageIndex) {
    switch (p.eraseRule) {
        case EraseRule::Never:
            return false;
        case EraseRule::EveryNth:
            return pageIndex % p.eraseInterval == 0;
        case EraseRule::FirstOrOdd:
            return pageIndex == 0 || pageIndex % 2 == 1;
    }
    return false;
}

// Sends one request up to three times, counting every failure. A lost link
// ends the attempts at once: no later attempt could reach the device.
bool sendWithRetries(DeviceSession& s, const std::function<bool()>& send, ErrorCounter counter,
                     int attempts, int retryPauseMs) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (send()) {
            return true;
        }
        if (s.link.lost()) {
            s.bumpErrorCounter(counter);
            return false;
        }
        s.pause(retryPauseMs);
        s.bumpErrorCounter(counter);
    }
    return false;
}

StageResult failed(std::string reason) {
    return {false, std::move(reason), {}};
}

// The end of a page whose attempts were all used up: a lost link ends the
// stage whatever Skip error says; otherwise Skip error passes the page over.
bool pageGivenUp(DeviceSession& s, StageResult& result, PageRef page) {
    if (s.link.lost()) {
        result = failed(linkLostReason(s, "programming"));
        return true;
    }
    if (!s.options.skipError) {
        result = failed(describePages({page}) + " was never acknowledged");
        return true;
    }
    result.passedOver.push_back(page);
    return false;
}

std::string unanswered(DeviceSession& s, const char* request) {
    return s.link.lost() ? linkLostReason(s, "programming")
                         : std::string("the device did not answer the ") + request +
                               " that starts programming";
}

}  // namespace

StageResult programPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return failed(unanswered(s, "connect command"));
    }
    StageResult result;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    s.panel.setProgramRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "%04uYP%08X", unsigned{s.deviceAddress()},
                      static_cast<unsigned>(i) * 256U);
        std::string line = head;
        for (std::uint8_t b : s.image.page(i, 256)) {
            line += hexByte(b);
        }
        s.pause(1);
        const bool done = sendWithRetries(
            s, [&] { return s.exchangeText(line); }, ErrorCounter::edErrrP, kProgramAttempts,
            kProgramRetryPauseMs);
        if (!done && pageGivenUp(s, result, {i, static_cast<std::uint32_t>(i) * 256U})) {
            return result;
        }
        s.panel.setProgramPosition(i);
    }
    s.panel.setProgramPosition(pageCount);
    return result;
}

StageResult programPagesBinary(DeviceSession& s) {
    const ModelFamily* family = loaderFamilyFor(s.image.modelCode);
    const int pageCount = s.image.pageCount;
    if (!family) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "model 0x%04X has no programming commands",
                      unsigned{s.image.modelCode});
        return failed(reason);
    }
    const ProgramProfile& p = *family->programming;
    const int pageSize = family->layout.pageSize;
    const CommandSet& commands = family->commands;
    // The 16-bit form cannot carry addresses above 0xFFFF: such an image is
    // not for this device, and wrapping would overwrite its first pages.
    const std::uint32_t lastAddress =
        p.baseAddress + static_cast<std::uint32_t>(std::max(pageCount - 1, 0) * pageSize);
    if (p.form == AddressForm::Bits16 && lastAddress > 0xFFFF) {
        char reason[128];
        std::snprintf(reason, sizeof reason,
                      "the image's last page would need address 0x%X, beyond the 16-bit "
                      "addresses of model 0x%04X",
                      static_cast<unsigned>(lastAddress), unsigned{s.image.modelCode});
        return failed(reason);
    }

    s.pause(p.pauseBeforeHelloMs);
    if (!s.exchange(kHello)) {
        return failed(unanswered(s, "hello request"));
    }
    StageResult result;
    s.pause(p.pauseAfterHelloMs);
    s.panel.setProgramRange(pageCount);

    std::vector<std::uint8_t> request(8 + static_cast<std::size_t>(pageSize));
    for (int i = 0; i < pageCount; ++i) {
        const std::uint32_t address = p.baseAddress + static_cast<std::uint32_t>(i * pageSize);
        const auto head = pageRequestHead(address, p.form);
        if (eraseDue(p, i)) {
            if (p.pauseBeforeEraseMs > 0) {
                s.pause(p.pauseBeforeEraseMs);
            }
            if (!s.exchange(commands.erase, head)) {
                s.bumpErrorCounter(ErrorCounter::edErrrE);
                if (s.link.lost()) {
                    return failed(linkLostReason(s, "programming"));
                }
                s.pause(p.eraseRetryPauseMs);
                if (!s.exchange(commands.erase, head)) {
                    return failed(s.link.lost() ? linkLostReason(s, "programming")
                                                : "the erase of " + describePages({{i, address}}) +
                                                      " was never acknowledged");
                }
            }
            s.pause(50);
            if (p.extraPauseAfterEraseMs > 0) {
                s.pause(p.extraPauseAfterEraseMs);
            }
        }
        const auto data = s.image.page(i, pageSize);
        std::copy(head.begin(), head.end(), request.begin());
        std::copy(data.begin(), data.end(), request.begin() + 8);
        s.pause(5);
        if (p.tracePages) {
            s.panel.setEdtPage1(hexTrace(data));
        }
        const bool done = sendWithRetries(
            s, [&] { return s.exchange(commands.program, request); }, ErrorCounter::edErrrP,
            kProgramAttempts, kProgramRetryPauseMs);
        if (!done && pageGivenUp(s, result, {i, address})) {
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
