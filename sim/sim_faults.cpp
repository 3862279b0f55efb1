#include "sim_faults.h"

namespace flashmere {
namespace {

bool matches(const FaultRule& r, FaultTarget target, std::optional<std::uint32_t> page,
             std::optional<std::uint16_t> command, const std::string& textCode) {
    if (r.target == FaultTarget::Command) {
        return command && *command == r.index;
    }
    if (r.target == FaultTarget::Text) {
        return !textCode.empty() && textCode == r.textCode;
    }
    return r.target == target && page && *page == r.index;
}

void addAction(const FaultRule& r, std::int64_t hit, SimRuleEffect& fx) {
    switch (r.action) {
        case FaultAction::Fail:
            if (hit <= r.amount) {
                fx.silent = true;
                fx.reason = "fault " + r.source + " (" + std::to_string(hit) + ")";
            }
            break;
        case FaultAction::Never:
            fx.silent = true;
            fx.reason = "fault " + r.source;
            break;
        case FaultAction::Delay:
            fx.delayMs += r.amount;
            break;
        case FaultAction::Corrupt:
            if (hit <= r.amount) {
                fx.corrupt = true;
            }
            break;
        case FaultAction::Short:
            if (hit <= r.amount) {
                fx.cutShort = true;
            }
            break;
        case FaultAction::None:
            break;
    }
}

}  // namespace

SimFaultRules::SimFaultRules(const SimFaults& faults)
    : rules_(faults.rules),
      silentFirstAttempts_(faults.silentFirstAttempts),
      hits_(faults.rules.size(), 0) {}

SimRuleEffect SimFaultRules::apply(FaultTarget target, std::optional<std::uint32_t> page,
                                   std::optional<std::uint16_t> command,
                                   const std::string& textCode,
                                   const std::vector<std::uint8_t>& raw) {
    SimRuleEffect fx;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (matches(rules_[i], target, page, command, textCode)) {
            addAction(rules_[i], ++hits_[i], fx);
        }
    }
    const int first = silentFirstAttempts_;
    if (!fx.silent && first > 0) {
        const int seen = ++attempts_[raw];
        if (seen <= first) {
            fx.silent = true;
            fx.reason = "silent for the first " + std::to_string(first) + " attempts (" +
                        std::to_string(seen) + ")";
        }
    }
    return fx;
}

const FaultRule* SimFaultRules::takeRebootAtPage(std::uint32_t pageIndex) {
    for (const auto& r : rules_) {
        if (r.target == FaultTarget::RebootAtPage && r.index == pageIndex && !rebootAtPageDone_) {
            rebootAtPageDone_ = true;
            return &r;
        }
    }
    return nullptr;
}

bool SimFaultRules::silentAfter(std::uint32_t pagesProgrammed) const {
    for (const auto& r : rules_) {
        if (r.target == FaultTarget::SilentAfterPages && pagesProgrammed >= r.index) {
            return true;
        }
    }
    return false;
}

int SimFaultRules::corruptPageRules(std::uint32_t pageIndex) const {
    int count = 0;
    for (const auto& r : rules_) {
        if (r.target == FaultTarget::CorruptPage && r.index == pageIndex) {
            ++count;
        }
    }
    return count;
}

}  // namespace flashmere
