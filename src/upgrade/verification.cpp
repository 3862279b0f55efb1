#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/device_protocol.h"
#include "device/request_retries.h"
#include "link/crc.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr const char* kStage = "verification";
constexpr const char* kNotReadBack = "could not be read back";
// A text read is sent up to three times, each failure counted in ErrorCounter::Verify.
constexpr RetryPolicy kTextReadRetries{
    .attempts = 3, .retryPauseMs = 200, .counter = ErrorCounter::Verify};
constexpr std::size_t kReadHeadBytes = 8;

// A binary read reply carries an 8-byte head, then the page; a reply that
// stops short of the page's end is no read at all.
bool replyHoldsPage(const DeviceSession& s, int pageSize) {
    return s.link.reply.payloadLength >= kReadHeadBytes + static_cast<std::size_t>(pageSize);
}

bool pageMatches(const DeviceSession& s, int pageIndex, int pageSize) {
    const auto expected = s.image.page(pageIndex, pageSize);
    return std::equal(expected.begin(), expected.end(),
                      s.link.reply.payload.begin() + kReadHeadBytes);
}

// The reply text of a text read: the address in 8 characters, then the page
// in 512 hex characters. The text ends at its first zero byte.
std::string_view textReplyOf(const DeviceSession& s) {
    const auto& payload = s.link.reply.payload;
    const char* text = reinterpret_cast<const char*>(payload.data());
    return {text, ::strnlen(text, payload.size())};
}

}  // namespace

StageResult verifyPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return stageFailed(startUnanswered(s, "connect command", kStage));
    }
    StageResult result;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    const int pageSize = pageLayoutFor(s.image.modelCode).pageSize;
    s.panel.setVerifyRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        const PageRef page{i, static_cast<std::uint32_t>(i) * static_cast<std::uint32_t>(pageSize)};
        char line[32];
        std::snprintf(line, sizeof line, "%04uYV%08X", unsigned{s.deviceAddress()},
                      static_cast<unsigned>(page.address));
        std::string expectedHex;
        for (std::uint8_t b : s.image.page(i, pageSize)) {
            expectedHex += hexByte(b);
        }
        s.pause(1);
        const bool read = sendWithRetries(s, kTextReadRetries, [&] {
            return s.exchangeText(line) && textReplyOf(s).size() >= 8 + expectedHex.size();
        });
        if (!read) {
            if (pageGivenUp(s, result, page, kStage, kNotReadBack)) {
                return result;
            }
        } else if (textReplyOf(s).substr(8, expectedHex.size()) != expectedHex) {
            return stageFailed(describePages({page}) + " read back different");
        }
        s.panel.setVerifyPosition(i);
    }
    s.panel.setVerifyPosition(pageCount);
    return result;
}

StageResult verifyPagesBinary(DeviceSession& s) {
    const ModelFamily* family = loaderFamilyFor(s.image.modelCode);
    if (!family) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "model 0x%04X has no read-back command",
                      unsigned{s.image.modelCode});
        return stageFailed(reason);
    }
    if (!s.exchange(kHelloCommand)) {
        return stageFailed(startUnanswered(s, "hello request", kStage));
    }
    const VerifyProfile& p = *family->verification;
    const int pageSize = family->layout.pageSize;
    const std::uint32_t baseAddress = family->programming->baseAddress;
    StageResult result;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    s.panel.setVerifyRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        const PageRef page{i, baseAddress + static_cast<std::uint32_t>(i * pageSize)};
        const auto head = pageRequestHead(page.address, p.form);
        if (p.style != VerifyStyle::Quick) {
            s.pause(5);
        }
        const RetryPolicy retries{.attempts = p.attempts,
                                  .pauseBeforeMs = p.pauseBeforeAttemptMs,
                                  .retryPauseMs = p.retryPauseMs,
                                  .counter = ErrorCounter::Verify};
        const bool read = sendWithRetries(s, retries, [&] {
            return s.exchange(family->commands.read, head) && replyHoldsPage(s, pageSize);
        });
        if (p.style == VerifyStyle::Patient) {
            s.panel.setLineTrace("");
        }
        // A page that was never read is passed over by Skip error and fails
        // the stage at its end; it is never compared with an empty reply.
        if (!read && pageGivenUp(s, result, page, kStage, kNotReadBack)) {
            return result;
        }
        const bool matches = !read || pageMatches(s, i, pageSize);
        if (p.style == VerifyStyle::Standard) {
            s.panel.setVerifyPosition(i);
        }
        if (!matches) {
            return stageFailed(describePages({page}) + " read back different");
        }
        if (p.style != VerifyStyle::Standard) {
            s.pause(5);
            s.panel.setVerifyPosition(i);
        }
    }
    s.panel.setVerifyPosition(pageCount);
    return result;
}

}  // namespace flashmere
