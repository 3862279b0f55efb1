// The text loader protocol: the address and code of a text command, who
// hears it, the command table and one handler per command.

#include <algorithm>
#include <string_view>
#include <utility>

#include "link/crc.h"
#include "sim_device.h"
#include "sim_frames.h"
#include "sim_wire.h"

namespace flashmere {
namespace {

using simwire::hex4;
using simwire::hex8;
using simwire::hexValue;
using simwire::parseHex;

// The code of a known command at the start of body, empty when unknown.
std::string textCodeOf(const std::string& body) {
    if (body == "AS" || body == "AS1" || body == "Zx" || body == "Zx73") {
        return body;
    }
    if (body.rfind("YP", 0) == 0 || body.rfind("YV", 0) == 0 || body.rfind("YR", 0) == 0) {
        return body.substr(0, 2);
    }
    return {};
}

FaultTarget textFaultTarget(const std::string& code) {
    return code == "YP"   ? FaultTarget::Program
           : code == "YV" ? FaultTarget::Read
                          : FaultTarget::Text;
}

}  // namespace

void SimDevice::handleText(const SimRequest& req, SimEvent& event, std::int64_t nowMs) {
    const std::optional<TextCommand> command = textCommand(req, event, nowMs);
    if (!command) {
        return;
    }
    const auto& a = command->pageAddress;
    const SimRuleEffect fx =
        faultRules_.apply(textFaultTarget(command->code), a ? pageIndexOf(*a) : std::nullopt,
                          std::nullopt, command->code, req.raw);
    if (fx.silent) {
        noReply(event, fx.reason, nowMs);
        return;
    }
    TextAnswer answer;
    answer.reply.kind = SimFrameKind::Text;
    answer.reply.address = config_.id;
    answer.reply.pageAddress = a;
    if (const TextHandler handler = textHandlerFor(command->code)) {
        if (!(this->*handler)(*command, event, nowMs, answer)) {
            return;
        }
    }
    if (fx.cutShort && answer.payload.size() > kSimShortReplyBytes) {
        answer.payload.resize(kSimShortReplyBytes);
        answer.reply.note = "short reply";
    }
    const std::string& code = command->code;
    const std::string replyCode = code == "Zx73" ? "Zx" : code == "AS1" ? "AS" : code;
    const int width = (command->addressDigits == 4 || config_.id >= 100) ? 4 : 2;
    answer.reply.text = replyCode + answer.payload;
    answer.reply.command = 0;
    sendReply(simwire::textReplyFrame(config_.id, width, replyCode, answer.payload),
              std::move(answer.reply), nowMs + config_.latencyMs + answer.busyMs, fx,
              answer.startRun);
}

// The address (2 to 4 digits), the code and, for YP and YV, the page address
// right after the code; nullopt when the device does not hear the command.
std::optional<SimDevice::TextCommand> SimDevice::textCommand(const SimRequest& req, SimEvent& event,
                                                             std::int64_t nowMs) {
    const std::string& t = req.text;
    std::size_t digits = 0;
    while (digits < t.size() && digits < 4 && t[digits] >= '0' && t[digits] <= '9') {
        ++digits;
    }
    if (digits < 2) {
        noReply(event, "text command without address", nowMs);
        return std::nullopt;
    }
    const auto address = static_cast<std::uint16_t>(std::stoul(t.substr(0, digits)));
    event.address = address;
    TextCommand command;
    command.addressDigits = static_cast<int>(digits);
    command.body = t.substr(digits);
    command.code = textCodeOf(command.body);
    const std::string& code = command.code;
    if (code.empty()) {
        noReply(event, "unknown text command", nowMs);
        return std::nullopt;
    }
    const bool discovery = code == "AS" || code == "AS1";
    if (address != config_.id && !(discovery && config_.discoveryQueries)) {
        noReply(event, "for another address", nowMs);
        return std::nullopt;
    }
    if (!layout_.textProtocol && code != "Zx" && code != "Zx73") {
        noReply(event, "text command on a binary device", nowMs);
        return std::nullopt;
    }
    if (code == "YP" || code == "YV") {
        const std::string_view body = command.body;
        command.pageAddress = body.size() >= 10 ? parseHex(body.substr(2, 8)) : std::nullopt;
        if (!command.pageAddress) {
            noReply(event, "text page address is not 8 hex digits", nowMs);
            return std::nullopt;
        }
        event.pageAddress = *command.pageAddress;
    }
    return command;
}

// The command table: AS, Zx and Zx73 are answered with their code alone.
SimDevice::TextHandler SimDevice::textHandlerFor(const std::string& code) const {
    const std::pair<const char*, TextHandler> table[] = {
        {"AS1", &SimDevice::answerTextIdentify},
        {"YP", &SimDevice::answerTextProgram},
        {"YV", &SimDevice::answerTextRead},
        {"YR", &SimDevice::answerTextRun},
    };
    for (const auto& [name, handler] : table) {
        if (code == name) {
            return handler;
        }
    }
    return nullptr;
}

bool SimDevice::answerTextIdentify(const TextCommand&, const SimEvent&, std::int64_t,
                                   TextAnswer& answer) {
    answer.payload = hex4(reportedModel()) + hex8(config_.serialNumber);
    std::string name = config_.name;
    name.resize(12, '\0');
    answer.payload += name + hex4(version_);
    return true;
}

// YP <address> <page as hexadecimal text>: the page replaces the memory's bytes.
bool SimDevice::answerTextProgram(const TextCommand& command, const SimEvent& event,
                                  std::int64_t nowMs, TextAnswer& answer) {
    const std::string& body = command.body;
    const std::uint32_t a = *command.pageAddress;
    if (body.size() != 10 + 2 * layout_.pageSize) {
        noReply(event, "YP data is not " + std::to_string(2 * layout_.pageSize) + " hex digits",
                nowMs);
        return false;
    }
    if (a % layout_.pageSize != 0 || std::uint64_t{a} + layout_.pageSize > memory_.size()) {
        noReply(event, "program address not a page of the program memory", nowMs);
        return false;
    }
    if (rebootAtPage(a / layout_.pageSize, event, nowMs)) {
        return false;
    }
    std::vector<std::uint8_t> data(layout_.pageSize);
    for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
        const int hi = hexValue(static_cast<std::uint8_t>(body[10 + 2 * k]));
        const int lo = hexValue(static_cast<std::uint8_t>(body[11 + 2 * k]));
        if (hi < 0 || lo < 0) {
            noReply(event, "YP data is not upper-case hexadecimal", nowMs);
            return false;
        }
        data[k] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    std::copy(data.begin(), data.end(), memory_.begin() + a);
    corruptProgrammedCells(a, a / layout_.pageSize, answer.reply);
    notePageProgrammed();
    answer.busyMs = config_.programBusyMs;
    return true;
}

bool SimDevice::answerTextRead(const TextCommand& command, const SimEvent& event,
                               std::int64_t nowMs, TextAnswer& answer) {
    const std::uint32_t a = *command.pageAddress;
    if (command.body.size() != 10 || std::uint64_t{a} + layout_.pageSize > memory_.size()) {
        noReply(event, "bad YV request", nowMs);
        return false;
    }
    answer.payload = hex8(a);
    for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
        answer.payload += hexByte(memory_[a + k]);
    }
    return true;
}

// YR C4E19D70 <length> <sum>: the loader sums the image it holds and starts
// it; the reply tells whether both agreed.
bool SimDevice::answerTextRun(const TextCommand& command, const SimEvent& event, std::int64_t nowMs,
                              TextAnswer& answer) {
    const std::string_view body = command.body;
    const auto length = body.size() == 26 ? parseHex(body.substr(10, 8)) : std::nullopt;
    const auto sum = body.size() == 26 ? parseHex(body.substr(18, 8)) : std::nullopt;
    if (!length || !sum || body.substr(2, 8) != "C4E19D70") {
        noReply(event, "bad YR request", nowMs);
        return false;
    }
    SimRunCheck check;
    check.length = *length;
    check.sum = *sum;
    if (*length <= memory_.size()) {
        for (std::uint32_t k = 0; k < *length; ++k) {
            check.deviceSum += memory_[k];
        }
        check.matched = check.deviceSum == *sum;
    }
    lastRunCheck_ = check;
    answer.payload = check.matched ? "OK" : "ER";
    answer.reply.note = check.matched ? "image check matched"
                                      : "image check failed, device sum " + hex8(check.deviceSum);
    answer.startRun = true;
    return true;
}

}  // namespace flashmere
