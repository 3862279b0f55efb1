#pragma once

// The longest an upgrade may take, from the retry counts, pauses and the
// 1000 ms silence limit of the protocol. A run that takes longer is hung.

#include <cstdint>
#include <stdexcept>

namespace flashmere::reliability {

// The retry and pause figures of one model's programming and verification
// profile, as the protocol gives them.
struct ModelTiming {
    bool text = false;
    int verifyAttempts = 3;
    int verifyPauseBeforeMs = 0;  // before every read attempt
    int verifyRetryPauseMs = 200;
    int eraseRetryPauseMs = 200;
    int rebootSeconds = 0;  // reboot-wait window after the start command
};

inline ModelTiming timingFor(std::uint16_t model) {
    switch (model) {
        case 0x8401:  // the 0x84 loader erasing every 4 pages, patient reads
            return {false, 21, 100, 200, 200, 0};
        case 0x8400:  // the 0x84 loader erasing every 32 pages, quick reads, 10 s reboot wait
            return {false, 3, 0, 50, 200, 10};
        case 0x8201:  // every other model: erase every 2 pages, standard reads
            return {false, 3, 0, 200, 500, 0};
        case 0x8801:  // text path
            return {true, 3, 1, 200, 0, 0};
        default:
            throw std::invalid_argument("no timing figures for this model");
    }
}

struct LinkTiming {
    std::int64_t sendPauseMs = 5;  // 5 ms after a TCP send, 10 ms after a serial one
    // From the request's last byte to the reply's last byte: latency, the
    // reply's time on the line and the gaps between its pieces.
    std::int64_t replySpanMs = 5;
    std::int64_t connectMs = 0;  // a TCP connect may take up to 5000 ms
};

// Upper bound of one whole run in milliseconds.
inline std::int64_t runBoundMs(const ModelTiming& m, int pageCount, const LinkTiming& link) {
    constexpr std::int64_t kSilence = 1001;  // an exchange ends after more than 1000 ms
    const std::int64_t ex = link.sendPauseMs + link.replySpanMs + kSilence;
    const std::int64_t pages = pageCount;
    // Identification: at most 30 binary exchanges (5 + 1 hellos, name, 9
    // version queries, 2 mode commands, 10 hellos, name, ID) and 4 wake-up
    // text commands, each behind waits of at most 200 ms; the text family
    // needs fewer (10 connects, one identity query).
    const std::int64_t identify = link.connectMs + 34 * (ex + 200) + 500;
    // Five wake-up hellos with 50 ms after each, then 50 ms.
    const std::int64_t wake = m.text ? 20 : 5 * (ex + 50) + 50;
    // Per page: an erase (two attempts, 10 ms before, retry pause, 51 ms
    // after), 6 ms of pauses, three program attempts with 200 ms after each
    // failure. Before the pages: 100 ms of pauses and the hello.
    const std::int64_t program =
        100 + ex + pages * (2 * ex + 10 + m.eraseRetryPauseMs + 51 + 6 + 3 * (ex + 200));
    // Per page: the attempts with their pauses, 10 ms more; before: the
    // hello or connect command and 120 ms of pauses.
    const std::int64_t verify =
        120 + ex +
        pages * (m.verifyAttempts * (ex + m.verifyPauseBeforeMs + m.verifyRetryPauseMs) + 10);
    // Start: up to two commands (text) with 105 ms of pauses, 100 ms after;
    // then the reboot wait, which closes at the first 500 ms tick past it.
    const std::int64_t start = 2 * ex + 205;
    const std::int64_t reboot = m.rebootSeconds > 0 ? (m.rebootSeconds + 1) * 1000 + 500 : 0;
    return identify + wake + program + verify + start + reboot + 200;
}

}  // namespace flashmere::reliability
