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

// Sends one request up to three times, counting every failure.
bool sendWithRetries(DeviceSession& s, const std::function<bool()>& send, ErrorCounter counter,
                     int attempts, int retryPauseMs) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (send()) {
            return true;
        }
        s.pause(retryPauseMs);
        s.bumpErrorCounter(counter);
    }
    return false;
}

}  // namespace

bool programPagesText(DeviceSession& s) {
    if (!s.exchangeText(fourDigits(s.deviceAddress()) + "AS")) {
        return false;
    }
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
        if (!done && !s.options.skipError) {
            return false;
        }
        s.panel.setProgramPosition(i);
    }
    s.panel.setProgramPosition(pageCount);
    return true;
}

bool programPagesBinary(DeviceSession& s) {
    const auto profile = programProfileFor(s.image.modelCode);
    const int pageCount = s.image.pageCount;
    if (!profile) {
        return false;  // a model code of groups 0x83/0x84 without command codes
    }
    const ProgramProfile& p = *profile;
    // The 16-bit form cannot carry addresses above 0xFFFF: such an image is
    // not for this device, and wrapping would overwrite its first pages.
    const std::uint32_t lastAddress =
        p.baseAddress + static_cast<std::uint32_t>(std::max(pageCount - 1, 0) * p.pageSize);
    if (p.form == AddressForm::Bits16 && lastAddress > 0xFFFF) {
        return false;
    }

    s.pause(p.pauseBeforeHelloMs);
    if (!s.exchange(kHello)) {
        return false;
    }
    s.pause(p.pauseAfterHelloMs);
    s.panel.setProgramRange(pageCount);

    std::vector<std::uint8_t> request(8 + static_cast<std::size_t>(p.pageSize));
    for (int i = 0; i < pageCount; ++i) {
        const std::uint32_t address = p.baseAddress + static_cast<std::uint32_t>(i * p.pageSize);
        const auto head = pageRequestHead(address, p.form);
        if (eraseDue(p, i)) {
            if (p.pauseBeforeErase) {
                s.pause(10);
            }
            if (!s.exchange(p.eraseCommand, head)) {
                s.bumpErrorCounter(ErrorCounter::edErrrE);
                s.pause(p.eraseRetryPauseMs);
                if (!s.exchange(p.eraseCommand, head)) {
                    return false;
                }
            }
            s.pause(50);
            if (p.extraPauseAfterErase) {
                s.pause(1);
            }
        }
        const auto data = s.image.page(i, p.pageSize);
        std::copy(head.begin(), head.end(), request.begin());
        std::copy(data.begin(), data.end(), request.begin() + 8);
        s.pause(5);
        if (p.tracePage) {
            s.panel.setEdtPage1(hexTrace(data));
        }
        const bool done = sendWithRetries(
            s, [&] { return s.exchange(p.programCommand, request); }, ErrorCounter::edErrrP,
            kProgramAttempts, kProgramRetryPauseMs);
        if (!done && !s.options.skipError) {
            return false;
        }
        s.panel.setProgramPosition(i);
        if (p.extraPauseAfterPage) {
            s.pause(1);
        }
    }
    s.panel.setProgramPosition(pageCount);
    return true;
}

}  // namespace flashmere
