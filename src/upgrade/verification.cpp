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

// The read reply carries an 8-byte head, then the page.
bool pageMatches(const DeviceSession& s, int pageIndex, int pageSize) {
    const auto expected = s.image.page(pageIndex, pageSize);
    return std::equal(expected.begin(), expected.end(), s.link.reply.payload.begin() + 8);
}

}  // namespace

bool verifyPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return false;
    }
    s.pause(20);
    const int pageCount = s.image.pageCount;
    s.panel.setVerifyRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "%04uYV%08X", unsigned{s.deviceAddress()},
                      static_cast<unsigned>(i) * 256U);
        std::string expectedHex;
        for (std::uint8_t b : s.image.page(i, 256)) {
            expectedHex += hexByte(b);
        }
        s.pause(1);
        bool read = false;
        for (int attempt = 0; attempt < kTextReadAttempts && !read; ++attempt) {
            read = s.exchangeText(line);
            if (!read) {
                s.pause(kTextRetryPauseMs);
                s.bumpErrorCounter(ErrorCounter::edErrrV);
            }
        }
        if (!read && !s.options.skipError) {
            return false;
        }
        // Characters 9 to 520 of the reply text are the page in hex; the
        // text ends at its first zero byte, and a shorter text differs.
        const auto& payload = s.link.reply.payload;
        const char* text = reinterpret_cast<const char*>(payload.data());
        const std::size_t length = ::strnlen(text, payload.size());
        if (length < 8 + 512 || std::memcmp(text + 8, expectedHex.data(), 512) != 0) {
            return false;
        }
        s.panel.setVerifyPosition(i);
    }
    s.panel.setVerifyPosition(pageCount);
    return true;
}

bool verifyPagesBinary(DeviceSession& s) {
    const auto profile = verifyProfileFor(s.image.modelCode);
    if (!profile || !s.exchange(kHello)) {
        return false;
    }
    const VerifyProfile& p = *profile;
    s.pause(20);
    const int pageCount = s.image.pageCount;
    s.panel.setVerifyRange(pageCount);
    for (int i = 0; i < pageCount; ++i) {
        const auto head =
            pageRequestHead(p.baseAddress + static_cast<std::uint32_t>(i * p.pageSize), p.form);
        if (p.style != VerifyStyle::Quick) {
            s.pause(5);
        }
        bool read = false;
        for (int attempt = 0; attempt < p.attempts && !read; ++attempt) {
            s.pause(p.pauseBeforeAttemptMs);
            read = s.exchange(p.readCommand, head);
            if (!read) {
                s.pause(p.retryPauseMs);
                s.bumpErrorCounter(ErrorCounter::edErrrV);
            }
        }
        if (p.style == VerifyStyle::Patient) {
            s.panel.setEdtPage("");
        }
        if (!read && !s.options.skipError) {
            return false;
        }
        // A page whose reads all failed is compared with the zero-filled
        // payload the failed exchange left, except in the patient rows.
        const bool compare = read || p.compareAfterFailedRead;
        const bool matches = !compare || pageMatches(s, i, p.pageSize);
        if (p.style == VerifyStyle::Standard) {
            s.panel.setVerifyPosition(i);
            if (!matches) {
                return false;
            }
            continue;
        }
        if (!matches) {
            return false;
        }
        s.pause(5);
        s.panel.setVerifyPosition(i);
    }
    s.panel.setVerifyPosition(pageCount);
    return true;
}

}  // namespace flashmere
