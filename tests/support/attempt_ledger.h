#pragma once

// Reads a device transcript the way an auditor would: every erase, program
// and read request the device saw is one attempt of the tool, and the
// transcript says whether a good reply went back. The tool's three error
// counters must agree with what this ledger finds.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashmere::reliability {

// One transcript line, reduced to what the ledger needs. Filled from a
// SimEvent in-process or from a JSON line of flashmere-devsim --log.
struct LedgerEvent {
    std::string type;  // request, reply, no-reply, disconnect, ...
    std::string kind;  // binary, text, ...
    std::uint16_t command = 0;
    std::string text;
    std::optional<std::uint32_t> pageAddress;
    std::string note;
};

struct CounterTriple {
    int erase = 0;    // ErrorCounter::Erase
    int program = 0;  // ErrorCounter::Program
    int verify = 0;   // ErrorCounter::Verify
    bool operator==(const CounterTriple&) const = default;
};

struct Ledger {
    // Attempts that certainly failed: no reply, a dropped one, or a reply
    // with a damaged byte that the tool's check must refuse.
    CounterTriple failed;
    // Damaged replies the tool may still take: a binary reply whose start
    // byte or whose CRC flag byte was hit can leave a frame without a CRC
    // request, which the protocol accepts unchecked.
    CounterTriple ambiguous;
    bool disconnected = false;
    int attempts = 0;  // erase, program and read requests seen
};

enum class AttemptKind { None, Erase, Program, Read };

inline AttemptKind attemptKindOf(const LedgerEvent& e) {
    if (e.kind == "binary") {
        switch (e.command) {
            case 0x003B:
            case 0x603B:
            case 0x605D:
                return AttemptKind::Erase;
            case 0x0039:
            case 0x6039:
            case 0x605B:
                return AttemptKind::Program;
            case 0x003A:
            case 0x603A:
            case 0x605C:
                return AttemptKind::Read;
            default:
                return AttemptKind::None;
        }
    }
    if (e.kind == "text") {
        // Hex data holds no letters beyond F, so the codes cannot appear in it.
        if (e.text.find("YP") != std::string::npos) {
            return AttemptKind::Program;
        }
        if (e.text.find("YV") != std::string::npos) {
            return AttemptKind::Read;
        }
    }
    return AttemptKind::None;
}

// The byte index of "corrupted byte N" in a reply note, if any.
inline std::optional<int> corruptedByte(const std::string& note) {
    const std::string tag = "corrupted byte ";
    const auto at = note.find(tag);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = at + tag.size(); i < note.size() && note[i] >= '0' && note[i] <= '9';
         ++i) {
        value = value * 10 + (note[i] - '0');
    }
    return value;
}

enum class AttemptOutcome { Good, Failed, Ambiguous };

inline Ledger readLedger(const std::vector<LedgerEvent>& events) {
    Ledger ledger;
    // The erase whose first attempt failed.
    bool eraseGroupOpen = false;
    std::uint32_t eraseGroupAddress = 0;

    for (std::size_t i = 0; i < events.size(); ++i) {
        const LedgerEvent& e = events[i];
        if (e.type == "disconnect") {
            ledger.disconnected = true;
            continue;
        }
        if (e.type != "request") {
            continue;
        }
        const AttemptKind kind = attemptKindOf(e);
        if (kind == AttemptKind::None) {
            continue;
        }
        ++ledger.attempts;
        // The device answers (or records why not) right after the request.
        AttemptOutcome outcome = AttemptOutcome::Failed;
        for (std::size_t j = i + 1; j < events.size() && events[j].type != "request"; ++j) {
            if (events[j].type == "no-reply") {
                break;
            }
            if (events[j].type == "reply") {
                const auto hit = corruptedByte(events[j].note);
                // A read reply without its page is a failed read.
                if (kind == AttemptKind::Read && events[j].note == "short reply") {
                    break;
                }
                if (!hit) {
                    outcome = AttemptOutcome::Good;
                } else if (e.kind == "binary" && (*hit == 0 || *hit == 4)) {
                    outcome = AttemptOutcome::Ambiguous;
                }
                break;
            }
        }
        const std::uint32_t address = e.pageAddress.value_or(0xFFFFFFFFU);
        int* failedSlot = nullptr;
        int* ambiguousSlot = nullptr;
        switch (kind) {
            case AttemptKind::Erase: {
                // Only the first failure of a block counts; a second attempt
                // at the same address follows a failed first one.
                const bool second = eraseGroupOpen && eraseGroupAddress == address;
                eraseGroupOpen = false;
                if (!second) {
                    failedSlot = &ledger.failed.erase;
                    ambiguousSlot = &ledger.ambiguous.erase;
                    if (outcome != AttemptOutcome::Good) {
                        eraseGroupOpen = true;
                        eraseGroupAddress = address;
                    }
                }
                break;
            }
            case AttemptKind::Program:
                eraseGroupOpen = false;
                failedSlot = &ledger.failed.program;
                ambiguousSlot = &ledger.ambiguous.program;
                break;
            case AttemptKind::Read:
                failedSlot = &ledger.failed.verify;
                ambiguousSlot = &ledger.ambiguous.verify;
                break;
            case AttemptKind::None:
                break;
        }
        if (failedSlot && outcome == AttemptOutcome::Failed) {
            ++*failedSlot;
        }
        if (ambiguousSlot && outcome == AttemptOutcome::Ambiguous) {
            ++*ambiguousSlot;
        }
    }
    return ledger;
}

// Whether the tool's counters agree with the ledger: exactly, apart from
// ambiguous replies; after a dropped connection the tool also counts the one
// attempt that found the link gone, which never reached the device.
inline bool countersAgree(const CounterTriple& tool, const Ledger& ledger, std::string& why) {
    const auto within = [](int value, int low, int extra) {
        return value >= low && value <= low + extra;
    };
    CounterTriple base = ledger.failed;
    const auto matches = [&](const CounterTriple& expect) {
        return within(tool.erase, expect.erase, ledger.ambiguous.erase) &&
               within(tool.program, expect.program, ledger.ambiguous.program) &&
               within(tool.verify, expect.verify, ledger.ambiguous.verify);
    };
    bool ok = matches(base);
    if (!ok && ledger.disconnected) {
        for (int CounterTriple::*counter :
             {&CounterTriple::erase, &CounterTriple::program, &CounterTriple::verify}) {
            CounterTriple cut = base;
            cut.*counter += 1;
            ok = ok || matches(cut);
        }
    }
    if (!ok) {
        why = "counters E/P/V " + std::to_string(tool.erase) + "/" + std::to_string(tool.program) +
              "/" + std::to_string(tool.verify) + ", transcript failures " +
              std::to_string(base.erase) + "/" + std::to_string(base.program) + "/" +
              std::to_string(base.verify) + " (ambiguous " +
              std::to_string(ledger.ambiguous.erase) + "/" +
              std::to_string(ledger.ambiguous.program) + "/" +
              std::to_string(ledger.ambiguous.verify) + ")" +
              (ledger.disconnected ? ", disconnected" : "");
    }
    return ok;
}

}  // namespace flashmere::reliability
