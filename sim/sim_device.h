#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_layout.h"

namespace flashmere {

// Bytes the device puts on the line at atMs, or (disconnect) the moment it
// drops a TCP connection.
struct SimOutput {
    std::int64_t atMs = 0;
    std::vector<std::uint8_t> bytes;
    bool disconnect = false;
};

enum class SimFrameKind { None, Binary, Text, Tab, AA, Fixed };

enum class SimEventType {
    Request,     // a complete, well-formed frame arrived
    Reply,       // the device answered (payload, flags in note)
    NoReply,     // the device stayed silent; note says why
    Noise,       // bytes that formed no frame were dropped
    Flush,       // the host discarded waiting bytes (in-process transport only)
    Disconnect,  // the device dropped the connection
    Reboot,      // the device restarts and stays silent (note: start or reset)
    LinkOpened,
    LinkClosed,
};

const char* toString(SimFrameKind kind);
const char* toString(SimEventType type);

// One line of the device's transcript.
struct SimEvent {
    std::int64_t atMs = 0;
    SimEventType type = SimEventType::Request;
    SimFrameKind kind = SimFrameKind::None;
    std::uint16_t address = 0;
    std::uint16_t command = 0;  // binary command or reply code
    std::optional<std::uint16_t> pin;
    std::string text;                   // text command, text reply code + payload, TAB text
    std::vector<std::uint8_t> payload;  // binary payload, AA data, noise bytes
    std::optional<std::uint32_t> pageAddress;
    std::string note;
    std::size_t bytes = 0;  // size on the line
};

// One JSON object without a line end.
std::string toJsonLine(const SimEvent& event);

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
class SimDevice {
  public:
    // Throws std::invalid_argument when checkSimConfig rejects the configuration.
    explicit SimDevice(SimConfig config);

    // Bytes from the host, in any chunking; frames are reassembled here.
    void receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs);
    // Output whose time has come, in line order.
    std::vector<SimOutput> takeDue(std::int64_t nowMs);
    std::optional<std::int64_t> nextDueMs() const;

    const std::vector<SimEvent>& transcript() const { return transcript_; }
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
    std::uint16_t currentVersion() const { return version_; }

  private:
    struct Request;
    struct RuleEffect {
        bool silent = false;
        std::string reason;
        std::int64_t delayMs = 0;
        bool corrupt = false;
        bool cutShort = false;  // the reply's payload ends after kShortReplyBytes
    };
    enum class Parse { Incomplete, Invalid, Complete };

    Parse tryParse(std::size_t at, Request& out, std::size_t& length, std::string& reason) const;
    void processInput(std::int64_t nowMs);
    void dropNoise(std::size_t count, const std::string& reason, std::int64_t nowMs);
    void handle(const Request& request, std::int64_t nowMs);
    void handleBinary(const Request& request, SimEvent& event, std::int64_t nowMs);
    void handleText(const Request& request, SimEvent& event, std::int64_t nowMs);
    void updateState(std::int64_t nowMs);
    void notePageProgrammed();
    bool rebootAtPage(std::uint32_t pageIndex, const SimEvent& event, std::int64_t nowMs);

    RuleEffect applyRules(FaultTarget target, std::optional<std::uint32_t> page,
                          std::optional<std::uint16_t> command, const std::string& textCode,
                          const std::vector<std::uint8_t>& raw);
    std::optional<std::uint32_t> pageIndexOf(std::uint32_t address) const;

    void noReply(const SimEvent& request, std::string reason, std::int64_t nowMs);
    // Schedules a reply and returns the time its last byte leaves.
    double queueReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                      const RuleEffect& effect);
    double emit(std::vector<std::uint8_t> bytes, double startMs);
    void addOutput(SimOutput output);
    void startReboot(double fromMs, std::int64_t silenceMs, const char* why);

    std::vector<std::uint8_t> binaryReply(std::uint16_t code,
                                          std::span<const std::uint8_t> payload) const;
    std::vector<std::uint8_t> textReply(int addressDigits, const std::string& code,
                                        const std::string& payload) const;

    // splitmix64: stable across platforms and standard libraries.
    std::uint64_t nextRandom();
    bool chance(double p);
    std::int64_t uniform(std::int64_t lo, std::int64_t hi);

    SimConfig config_;
    SimLayout layout_;
    std::vector<std::uint8_t> memory_;
    std::vector<std::uint8_t> input_;
    std::vector<SimOutput> pending_;
    std::vector<SimEvent> transcript_;
    std::uint64_t rng_;

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
    bool rebootAtPageDone_ = false;
    std::vector<std::int64_t> ruleHits_;
    std::map<std::vector<std::uint8_t>, int> attempts_;
};

}  // namespace flashmere
