#pragma once

// The in-process simulator's transcript as the attempt ledger reads it.

#include <vector>

#include "sim_device.h"
#include "tests/support/attempt_ledger.h"

namespace flashmere::reliability {

inline LedgerEvent ledgerEventOf(const SimEvent& e) {
    LedgerEvent out;
    out.type = toString(e.type);
    out.kind = toString(e.kind);
    out.command = e.command;
    out.text = e.text;
    out.pageAddress = e.pageAddress;
    out.note = e.note;
    return out;
}

inline std::vector<LedgerEvent> ledgerEventsOf(const SimDevice& device) {
    std::vector<LedgerEvent> events;
    for (const auto& e : device.transcript()) {
        events.push_back(ledgerEventOf(e));
    }
    return events;
}

// The request frames the device saw before the first program request.
inline int framesBeforeProgramming(const SimDevice& device) {
    int frames = 0;
    for (const auto& e : device.transcript()) {
        if (e.type != SimEventType::Request) {
            continue;
        }
        if (attemptKindOf(ledgerEventOf(e)) == AttemptKind::Program) {
            break;
        }
        ++frames;
    }
    return frames;
}

}  // namespace flashmere::reliability
