// The binary loader protocol: who hears a request, the command table and
// one handler per command.

#include <algorithm>
#include <utility>

#include "sim_device.h"
#include "sim_frames.h"
#include "sim_wire.h"

namespace flashmere {
namespace {

using simwire::hex8;
using simwire::put16;

bool isQuery(std::uint16_t command) {
    return command == 0x0001 || command == 0x0002 || command == 0x0003;
}

bool payloadStartsWith(const SimRequest& req, std::uint8_t a, std::uint8_t b) {
    return req.payload.size() >= 2 && req.payload[0] == a && req.payload[1] == b;
}

}  // namespace

void SimDevice::handleBinary(const SimRequest& req, SimEvent& event, std::int64_t nowMs) {
    if (!req.address) {
        takeFixedBlock(req, event, nowMs);
        return;
    }
    if (!binaryHeard(req, event, nowMs)) {
        return;
    }
    const std::uint16_t cmd = req.command;
    const std::optional<std::uint32_t> page =
        event.pageAddress ? pageIndexOf(*event.pageAddress) : std::nullopt;
    const SimRuleEffect fx =
        faultRules_.apply(binaryFaultTarget(cmd, event), page, cmd, {}, req.raw);
    if (fx.silent) {
        noReply(event, fx.reason, nowMs);
        return;
    }
    BinaryAnswer answer;
    answer.reply.kind = SimFrameKind::Binary;
    answer.reply.address = config_.id;
    answer.reply.command = cmd;
    if (pinRefused(req)) {
        answer.reply.note = "PIN refused";  // the identify command, with an empty payload
    } else {
        const BinaryHandler handler = binaryHandlerFor(cmd);
        if (!handler) {
            noReply(event, "unknown command", nowMs);
            return;
        }
        if (!(this->*handler)(req, event, nowMs, answer)) {
            return;
        }
    }
    if (fx.cutShort && answer.payload.size() > kSimShortReplyBytes) {
        answer.payload.resize(kSimShortReplyBytes);
        answer.reply.note = "short reply";
    }
    answer.reply.payload = answer.payload;
    sendReply(simwire::binaryReplyFrame(config_.id, cmd, answer.payload), std::move(answer.reply),
              nowMs + config_.latencyMs + answer.busyMs, fx, answer.startRun);
}

// The fixed block: the mode command without address field. It is heard by
// every device on the line and never answered.
void SimDevice::takeFixedBlock(const SimRequest& req, SimEvent& event, std::int64_t nowMs) {
    if (req.command == 0x0038 && payloadStartsWith(req, 0x6D, 0x2E)) {
        event.kind = SimFrameKind::Fixed;
        if (!layout_.textProtocol) {
            loaderMode_ = true;
        }
    } else {
        noReply(event, "no address field", nowMs);
    }
}

// A device with a PIN answers the identify command of a frame without the
// right PIN with an empty payload and hears nothing else.
bool SimDevice::pinRefused(const SimRequest& req) const {
    return config_.pin && (!req.pin || *req.pin != *config_.pin);
}

bool SimDevice::binaryHeard(const SimRequest& req, const SimEvent& event, std::int64_t nowMs) {
    const bool discovery = config_.discoveryQueries && isQuery(req.command) && *req.address == 1;
    if (*req.address != config_.id && !discovery) {
        noReply(event, "for another address", nowMs);
        return false;
    }
    if (layout_.textProtocol) {
        noReply(event, "binary frame on a text device", nowMs);
        return false;
    }
    if (pinRefused(req) && req.command != 0x0001) {
        noReply(event, "PIN refused", nowMs);
        return false;
    }
    return true;
}

FaultTarget SimDevice::binaryFaultTarget(std::uint16_t command, const SimEvent& event) const {
    const auto& cs = layout_.commands;
    if (!event.pageAddress) {
        return FaultTarget::Command;
    }
    if (command == cs.erase) {
        return FaultTarget::Erase;
    }
    if (command == cs.program) {
        return FaultTarget::Program;
    }
    if (command == cs.read) {
        return FaultTarget::Read;
    }
    return FaultTarget::Command;
}

// The command table: the first row with the command's code answers it. The
// loader's codes differ by family; a family without erase has no erase row.
SimDevice::BinaryHandler SimDevice::binaryHandlerFor(std::uint16_t command) const {
    const auto& cs = layout_.commands;
    const std::pair<std::uint16_t, BinaryHandler> table[] = {
        {0x0001, &SimDevice::answerIdentify},
        {0x0002, &SimDevice::answerAddress},
        {0x0003, &SimDevice::answerDeviceInfo},
        {0x6037, &SimDevice::answerGroupVersion},
        {0x605F, &SimDevice::answerGroupVersion},
        {cs.mode, &SimDevice::answerMode},
        {cs.erase, layout_.eraseBlock != 0 ? &SimDevice::answerErase : nullptr},
        {cs.program, &SimDevice::answerProgram},
        {cs.read, &SimDevice::answerRead},
    };
    for (const auto& [code, handler] : table) {
        if (code == command && handler) {
            return handler;
        }
    }
    return nullptr;
}

// The 8-byte head of erase, program and read requests: five zero bytes and
// the address; a 16-bit loader takes addresses up to 0xFFFF only.
std::string SimDevice::pageHeadProblem(const SimRequest& req, bool forWrite) const {
    if (req.payload.size() < 8) {
        return "page request shorter than its head";
    }
    if (std::any_of(req.payload.begin(), req.payload.begin() + 5,
                    [](std::uint8_t b) { return b != 0; })) {
        return "page request head bytes 0-4 not zero";
    }
    if (forWrite && layout_.address16 && req.payload[5] != 0) {
        return "address beyond the 16-bit form";
    }
    return {};
}

bool SimDevice::answerIdentify(const SimRequest&, const SimEvent&, std::int64_t,
                               BinaryAnswer& answer) {
    put16(answer.payload, reportedModel());
    put16(answer.payload, static_cast<std::uint16_t>(config_.serialNumber >> 16));
    put16(answer.payload, static_cast<std::uint16_t>(config_.serialNumber & 0xFFFF));
    put16(answer.payload, config_.id);
    return true;
}

bool SimDevice::answerAddress(const SimRequest&, const SimEvent&, std::int64_t,
                              BinaryAnswer& answer) {
    put16(answer.payload, config_.id);
    return true;
}

bool SimDevice::answerDeviceInfo(const SimRequest&, const SimEvent&, std::int64_t,
                                 BinaryAnswer& answer) {
    answer.payload.assign(12, 0);
    std::copy(config_.name.begin(), config_.name.end(), answer.payload.begin());
    put16(answer.payload, version_);
    put16(answer.payload, config_.isp);
    return true;
}

bool SimDevice::answerGroupVersion(const SimRequest&, const SimEvent& event, std::int64_t nowMs,
                                   BinaryAnswer& answer) {
    if (!layout_.groupVersionQueries) {
        noReply(event, "unknown command", nowMs);
        return false;
    }
    put16(answer.payload, reportedModel());
    put16(answer.payload, version_);
    put16(answer.payload, config_.isp);
    return true;
}

bool SimDevice::answerMode(const SimRequest& req, const SimEvent& event, std::int64_t nowMs,
                           BinaryAnswer& answer) {
    if (req.payload.size() == 8 && payloadStartsWith(req, 0x6D, 0x2E)) {
        loaderMode_ = true;
        answer.reply.note = "loader mode";
    } else if (req.payload.size() == 8 && payloadStartsWith(req, 0x5B, 0xE4)) {
        answer.startRun = true;
        answer.reply.note = "start program";
    } else {
        noReply(event, "unknown mode code", nowMs);
        return false;
    }
    return true;
}

// Erases the whole aligned block that holds the address, within the program area.
bool SimDevice::answerErase(const SimRequest& req, const SimEvent& event, std::int64_t nowMs,
                            BinaryAnswer& answer) {
    std::string problem = pageHeadProblem(req, true);
    const std::uint32_t a = event.pageAddress.value_or(0);
    if (problem.empty() && req.payload.size() != 8) {
        problem = "erase request is not 8 bytes";
    }
    if (problem.empty() && (a < layout_.base || a >= memory_.size())) {
        problem = "erase address outside the program memory";
    }
    if (problem.empty() && config_.loaderGate && !loaderMode_) {
        problem = "not in loader mode";
    }
    if (!problem.empty()) {
        noReply(event, problem, nowMs);
        return false;
    }
    const std::uint32_t blockStart = a / layout_.eraseBlock * layout_.eraseBlock;
    const std::uint32_t from = std::max(blockStart, layout_.base);
    const std::uint32_t to = std::min<std::uint32_t>(blockStart + layout_.eraseBlock,
                                                     static_cast<std::uint32_t>(memory_.size()));
    std::fill(memory_.begin() + from, memory_.begin() + to, 0xFF);
    ++blocksErased_;
    answer.busyMs = config_.eraseBusyMs;
    answer.payload.assign(req.payload.begin(), req.payload.begin() + 8);
    answer.reply.pageAddress = a;
    answer.reply.note = "erased " + hex8(from) + ".." + hex8(to - 1);
    return true;
}

bool SimDevice::answerProgram(const SimRequest& req, const SimEvent& event, std::int64_t nowMs,
                              BinaryAnswer& answer) {
    std::string problem = pageHeadProblem(req, true);
    const std::uint32_t a = event.pageAddress.value_or(0);
    if (problem.empty() && req.payload.size() != 8 + layout_.pageSize) {
        problem = "program request is not 8 + " + std::to_string(layout_.pageSize) + " bytes";
    }
    if (problem.empty() && (a < layout_.base || (a - layout_.base) % layout_.pageSize != 0 ||
                            std::uint64_t{a} + layout_.pageSize > memory_.size())) {
        problem = "program address not a page of the program memory";
    }
    if (problem.empty() && config_.loaderGate && !loaderMode_) {
        problem = "not in loader mode";
    }
    if (!problem.empty()) {
        noReply(event, problem, nowMs);
        return false;
    }
    const std::uint32_t pageIndex = *pageIndexOf(a);
    if (rebootAtPage(pageIndex, event, nowMs)) {
        return false;
    }
    for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
        const std::uint8_t b = req.payload[8 + k];
        // Flash cells only go from 1 to 0 without an erase.
        memory_[a + k] = layout_.writeReplaces ? b : static_cast<std::uint8_t>(memory_[a + k] & b);
    }
    corruptProgrammedCells(a, pageIndex, answer.reply);
    notePageProgrammed();
    answer.busyMs = config_.programBusyMs;
    answer.payload.assign(req.payload.begin(), req.payload.begin() + 8);
    answer.reply.pageAddress = a;
    return true;
}

bool SimDevice::answerRead(const SimRequest& req, const SimEvent& event, std::int64_t nowMs,
                           BinaryAnswer& answer) {
    std::string problem = pageHeadProblem(req, false);
    const std::uint32_t a = event.pageAddress.value_or(0);
    if (problem.empty() && req.payload.size() != 8) {
        problem = "read request is not 8 bytes";
    }
    if (problem.empty() && std::uint64_t{a} + layout_.pageSize > memory_.size()) {
        problem = "read address outside the program memory";
    }
    if (!problem.empty()) {
        noReply(event, problem, nowMs);
        return false;
    }
    answer.payload.assign(req.payload.begin(), req.payload.begin() + 8);
    answer.payload.insert(answer.payload.end(), memory_.begin() + a,
                          memory_.begin() + a + layout_.pageSize);
    answer.reply.pageAddress = a;
    return true;
}

}  // namespace flashmere
