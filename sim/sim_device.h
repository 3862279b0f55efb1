#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_event.h"
#include "sim_faults.h"
#include "sim_layout.h"
#include "sim_random.h"

namespace flashmere {

struct SimRequest;

// What the device found when it was told to start a text image.
struct SimRunCheck {
    std::uint32_t length = 0;
    std::uint32_t sum = 0;
    std::uint32_t deviceSum = 0;
    bool matched = false;
};

// A simulated field device: its loader, its program memory and its line.
// Deterministic: the same configuration, seed and input times give the same
// transcript. Single-threaded; the owner feeds it bytes and collects due output.
//
// One class, several files: sim_device.cpp (memory, connection, input),
// sim_line_output.cpp (replies on the line, line faults, reboots),
// sim_binary_protocol.cpp and sim_text_protocol.cpp (the commands).
class SimDevice {
  public:
    // Throws std::invalid_argument when checkSimConfig rejects the configuration.
    explicit SimDevice(SimConfig config);

    // Bytes from the host, in any chunking; frames are reassembled here.
    void receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs);
    // Output whose time has come, in line order.
    std::vector<SimOutput> takeDue(std::int64_t nowMs);
    std::optional<std::int64_t> nextDueMs() const;

    // The events since the device was made, or since forgetTranscript().
    const std::vector<SimEvent>& transcript() const { return transcript_; }
    // Drops the events kept so far: a process that serves for days writes
    // them out (or not) and forgets them, so its memory stays bounded.
    void forgetTranscript() { transcript_.clear(); }
    std::span<const std::uint8_t> memory() const { return memory_; }
    std::vector<std::uint8_t> readMemory(std::uint32_t address, std::size_t n) const;
    void writeMemory(std::uint32_t address, std::span<const std::uint8_t> bytes);

    // Connection life, reported by the transport: a new connection starts
    // with an empty input buffer; bytes still in flight are lost on close.
    void linkOpened(std::int64_t nowMs);
    void linkClosed(std::int64_t nowMs);
    // The host threw away count waiting bytes (recorded only).
    void noteFlush(std::size_t count, std::int64_t nowMs);

    const SimConfig& config() const { return config_; }
    const SimLayout& layout() const { return layout_; }
    std::uint16_t reportedModel() const { return config_.reportModel.value_or(config_.model); }
    bool loaderMode() const { return loaderMode_; }
    // Start commands accepted so far (binary 5B E4 or text YR).
    int runCount() const { return runCount_; }
    // True once a program was started and its reboot time has passed.
    bool runFinished(std::int64_t nowMs) const { return runCount_ > 0 && nowMs >= silentUntil_; }
    bool silentAt(std::int64_t nowMs) const { return nowMs < silentUntil_; }
    std::uint32_t pagesProgrammed() const { return pagesProgrammed_; }
    std::uint32_t blocksErased() const { return blocksErased_; }
    const std::optional<SimRunCheck>& lastRunCheck() const { return lastRunCheck_; }

  private:
    // A command's answer as its handler builds it; a handler that returns
    // false has recorded why the device stays silent.
    struct BinaryAnswer {
        SimEvent reply;
        std::vector<std::uint8_t> payload;
        std::int64_t busyMs = 0;
        bool startRun = false;
    };
    struct TextCommand {
        int addressDigits = 0;
        std::string body;  // after the address
        std::string code;  // AS, AS1, Zx, Zx73, YP, YV or YR
        std::optional<std::uint32_t> pageAddress;
    };
    struct TextAnswer {
        SimEvent reply;
        std::string payload;
        std::int64_t busyMs = 0;
        bool startRun = false;
    };
    using BinaryHandler = bool (SimDevice::*)(const SimRequest&, const SimEvent&, std::int64_t,
                                              BinaryAnswer&);
    using TextHandler = bool (SimDevice::*)(const TextCommand&, const SimEvent&, std::int64_t,
                                            TextAnswer&);

    // sim_device.cpp: input and dispatch.
    void processInput(std::int64_t nowMs);
    bool takeFirstFrame(std::int64_t nowMs);
    void dropNoise(std::size_t count, const std::string& reason, std::int64_t nowMs);
    void handle(const SimRequest& request, std::int64_t nowMs);
    SimEvent requestEvent(const SimRequest& request, std::int64_t nowMs) const;
    void dispatch(const SimRequest& request, SimEvent& event, std::int64_t nowMs);
    void disconnectIfDue(std::int64_t nowMs);
    std::optional<std::uint32_t> pageIndexOf(std::uint32_t address) const;
    void notePageProgrammed();
    bool rebootAtPage(std::uint32_t pageIndex, const SimEvent& event, std::int64_t nowMs);
    void corruptProgrammedCells(std::uint32_t address, std::uint32_t pageIndex, SimEvent& reply);

    // sim_binary_protocol.cpp
    void handleBinary(const SimRequest& request, SimEvent& event, std::int64_t nowMs);
    void takeFixedBlock(const SimRequest& request, SimEvent& event, std::int64_t nowMs);
    bool pinRefused(const SimRequest& request) const;
    bool binaryHeard(const SimRequest& request, const SimEvent& event, std::int64_t nowMs);
    FaultTarget binaryFaultTarget(std::uint16_t command, const SimEvent& event) const;
    BinaryHandler binaryHandlerFor(std::uint16_t command) const;
    std::string pageHeadProblem(const SimRequest& request, bool forWrite) const;
    bool answerIdentify(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerAddress(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerDeviceInfo(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerGroupVersion(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerMode(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerErase(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerProgram(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);
    bool answerRead(const SimRequest&, const SimEvent&, std::int64_t, BinaryAnswer&);

    // sim_text_protocol.cpp
    void handleText(const SimRequest& request, SimEvent& event, std::int64_t nowMs);
    std::optional<TextCommand> textCommand(const SimRequest& request, SimEvent& event,
                                           std::int64_t nowMs);
    TextHandler textHandlerFor(const std::string& code) const;
    bool answerTextIdentify(const TextCommand&, const SimEvent&, std::int64_t, TextAnswer&);
    bool answerTextProgram(const TextCommand&, const SimEvent&, std::int64_t, TextAnswer&);
    bool answerTextRead(const TextCommand&, const SimEvent&, std::int64_t, TextAnswer&);
    bool answerTextRun(const TextCommand&, const SimEvent&, std::int64_t, TextAnswer&);

    // sim_line_output.cpp
    void noReply(const SimEvent& request, std::string reason, std::int64_t nowMs);
    // Schedules a reply (and the start it announces) from readyMs on.
    void sendReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                   const SimRuleEffect& effect, bool startRun);
    // Schedules a reply and returns the time its last byte leaves.
    double queueReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                      const SimRuleEffect& effect);
    void corruptOneByte(std::vector<std::uint8_t>& bytes, std::vector<std::string>& notes);
    double emitNoise(double startMs, std::vector<std::string>& notes);
    double emitSplit(const std::vector<std::uint8_t>& bytes, double startMs,
                     std::vector<std::string>& notes);
    double emitStale(const std::vector<std::uint8_t>& head, double startMs,
                     std::vector<std::string>& notes);
    double emit(std::vector<std::uint8_t> bytes, double startMs);
    void addOutput(SimOutput output);
    void startReboot(double fromMs, std::int64_t silenceMs, const char* why);
    void updateState(std::int64_t nowMs);
    void swapUnit(std::int64_t nowMs);

    SimConfig config_;
    SimLayout layout_;
    std::vector<std::uint8_t> memory_;
    std::vector<std::uint8_t> firstUnitMemory_;  // kept for swapUnits only
    std::vector<std::uint8_t> input_;
    std::vector<SimOutput> pending_;
    std::vector<SimEvent> transcript_;
    SimRandom rng_;
    SimFaultRules faultRules_;

    bool loaderMode_ = false;
    bool rebootPending_ = false;
    std::int64_t silentUntil_ = 0;
    std::uint16_t version_;
    int runCount_ = 0;
    std::uint32_t pagesProgrammed_ = 0;
    std::uint32_t blocksErased_ = 0;
    std::optional<SimRunCheck> lastRunCheck_;
    double rxFreeMs_ = 0;
    double txFreeMs_ = 0;
    std::uint64_t framesSeen_ = 0;
    bool disconnectDone_ = false;
    bool dead_ = false;
};

}  // namespace flashmere
