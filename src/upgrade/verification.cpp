#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/crc.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kHello = 0x0001;
constexpr int kTextReadAttempts = 3;
constexpr int kTextRetryPauseMs = 200;
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

StageResult failed(std::string reason) {
    return {false, std::move(reason), {}};
}

// After a read failed: true (and result set) when the stage must end here.
bool readGivenUp(DeviceSession& s, StageResult& result, PageRef page) {
    if (s.link.lost()) {
        result = failed(linkLostReason(s, "verification"));
        return true;
    }
    if (!s.options.skipError) {
        result = failed(describePages({page}) + " could not be read back");
        return true;
    }
    result.passedOver.push_back(page);
    return false;
}

std::string unanswered(DeviceSession& s, const char* request) {
    return s.link.lost() ? linkLostReason(s, "verification")
                         : std::string("the device did not answer the ") + request +
                               " that starts verification";
}

}  // namespace

StageResult verifyPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return failed(unanswered(s, "connect command"));
    }
    StageResult result;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    s.panel.setVerifyRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        const PageRef page{i, static_cast<std::uint32_t>(i) * 256U};
        char line[32];
        std::snprintf(line, sizeof line, "%04uYV%08X", unsigned{s.deviceAddress()},
                      static_cast<unsigned>(page.address));
        std::string expectedHex;
        for (std::uint8_t b : s.image.page(i, 256)) {
            expectedHex += hexByte(b);
        }
        s.pause(1);
        bool read = false;
        for (int attempt = 0; attempt < kTextReadAttempts && !read; ++attempt) {
            read = s.exchangeText(line) && textReplyOf(s).size() >= 8 + expectedHex.size();
            if (!read && s.link.lost()) {
                s.bumpErrorCounter(ErrorCounter::edErrrV);
                break;
            }
            if (!read) {
                s.pause(kTextRetryPauseMs);
                s.bumpErrorCounter(ErrorCounter::edErrrV);
            }
        }
        if (!read) {
            if (readGivenUp(s, result, page)) {
                return result;
            }
        } else if (textReplyOf(s).substr(8, expectedHex.size()) != expectedHex) {
            return failed(describePages({page}) + " read back different");
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
        return failed(reason);
    }
    if (!s.exchange(kHello)) {
        return failed(unanswered(s, "hello request"));
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
        bool read = false;
        for (int attempt = 0; attempt < p.attempts && !read; ++attempt) {
            s.pause(p.pauseBeforeAttemptMs);
            read = s.exchange(family->commands.read, head) && replyHoldsPage(s, pageSize);
            if (!read && s.link.lost()) {
                s.bumpErrorCounter(ErrorCounter::edErrrV);
                break;
            }
            if (!read) {
                s.pause(p.retryPauseMs);
                s.bumpErrorCounter(ErrorCounter::edErrrV);
            }
        }
        if (p.style == VerifyStyle::Patient) {
            s.panel.setEdtPage("");
        }
        // A page that was never read is passed over by Skip error and fails
        // the stage at its end; it is never compared with an empty reply.
        if (!read && readGivenUp(s, result, page)) {
            return result;
        }
        const bool matches = !read || pageMatches(s, i, pageSize);
        if (p.style == VerifyStyle::Standard) {
            s.panel.setVerifyPosition(i);
        }
        if (!matches) {
            return failed(describePages({page}) + " read back different");
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
