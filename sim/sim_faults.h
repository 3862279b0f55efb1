#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim_config.h"

namespace flashmere {

// What the scripted fault rules do to one request and its reply.
struct SimRuleEffect {
    bool silent = false;
    std::string reason;
    std::int64_t delayMs = 0;
    bool corrupt = false;
    bool cutShort = false;  // the reply's payload ends after kSimShortReplyBytes
};

// What a short=K fault rule leaves of a reply's payload: a read reply's head.
constexpr std::size_t kSimShortReplyBytes = 8;

// The scripted fault rules of one device and what they have counted so far.
class SimFaultRules {
  public:
    explicit SimFaultRules(const SimFaults& faults);

    // Counts the request against every rule it matches (page, binary
    // command or text code) and against --silent-first.
    SimRuleEffect apply(FaultTarget target, std::optional<std::uint32_t> page,
                        std::optional<std::uint16_t> command, const std::string& textCode,
                        const std::vector<std::uint8_t>& raw);

    // The reboot-at-page rule for this page, once in the device's life.
    const FaultRule* takeRebootAtPage(std::uint32_t pageIndex);
    // True once a silent-after-pages rule is reached.
    bool silentAfter(std::uint32_t pagesProgrammed) const;
    // How many corrupt-page rules name this page (each flips one cell).
    int corruptPageRules(std::uint32_t pageIndex) const;

  private:
    std::vector<FaultRule> rules_;
    int silentFirstAttempts_ = 0;
    bool rebootAtPageDone_ = false;
    std::vector<std::int64_t> hits_;
    std::map<std::vector<std::uint8_t>, int> attempts_;
};

}  // namespace flashmere
