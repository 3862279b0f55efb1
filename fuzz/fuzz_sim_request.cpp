// The simulated device's request parser and handlers: whatever the host
// sends, in whatever chunks, the device never crashes and its output comes
// due in line order.
//
// Input: four configuration bytes, then operations. Most operations build a
// well-formed frame (binary, text, TAB, 0xAA, fixed block) from the input, so
// that the handlers behind the CRC checks are reached; raw chunks feed the
// reassembly with anything at all.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/send_only_frames.h"
#include "link/text_frame.h"
#include "sim_config.h"
#include "sim_device.h"
#include "sim_layout.h"

namespace flashmere::fuzz {
namespace {

constexpr std::array<std::uint16_t, 16> kModels = {
    0x8401, 0x8400, 0x8402, 0x8461, 0x0171, 0x8101, 0x0131, 0x0601,
    0x8501, 0x8801, 0x8901, 0x8911, 0x1234, 0x8303, 0x8302, 0x8301,
};

constexpr std::array<std::uint16_t, 16> kCommands = {
    0x0001, 0x0002, 0x0003, 0x6037, 0x605F, 0x0038, 0x0039, 0x003A,
    0x003B, 0x6038, 0x6039, 0x603A, 0x603B, 0x605A, 0x605B, 0x605C,
};

constexpr std::array<const char*, 8> kRules = {
    "program:1:fail=1", "read:0:corrupt=1", "cmd:0x0003:delay=50",  "text:YV:fail=2",
    "erase:0:never",    "corrupt-page:0",   "silent-after-pages:3", "reboot-at-page:2",
};

std::string hex8(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::string addressDigits(std::uint16_t id, bool four) {
    char buf[12];
    std::snprintf(buf, sizeof buf, four ? "%04u" : "%02u", static_cast<unsigned>(id % 10000));
    return buf;
}

SimConfig configFrom(ByteReader& in) {
    const std::uint8_t b0 = in.u8();
    const std::uint8_t b1 = in.u8();
    const std::uint8_t b2 = in.u8();
    const std::uint8_t b3 = in.u8();
    SimConfig c;
    c.model = kModels[b0 & 15U];
    if (b0 & 0x10) {
        c.pin = 0x1234;
    }
    c.loaderGate = (b0 & 0x20) == 0;
    if (b0 & 0x40) {
        c.line = parseLineMode("19200,e,8,1");
    }
    c.initialMemory = (b0 & 0x80) ? InitialMemory::Erased : InitialMemory::OldFirmware;
    c.id = b1 != 0 ? b1 : 1;
    c.rebootMs = 300;
    c.resetMs = 200;
    auto& f = c.faults;
    if (b2 & 0x01) {
        f.splitGapMs = std::pair<std::int64_t, std::int64_t>{1, 5};
    }
    f.noiseBytes = (b2 & 0x02) ? 3 : 0;
    f.staleBytes = (b2 & 0x04) ? 2 : 0;
    f.disconnectAfterFrames = (b2 & 0x08) ? 3 : 0;
    f.silentFirstAttempts = (b2 & 0x10) ? 1 : 0;
    f.dropProbability = (b2 & 0x20) ? 0.3 : 0.0;
    f.corruptProbability = (b2 & 0x40) ? 0.3 : 0.0;
    if (b2 & 0x80) {
        for (std::size_t i = 0; i < kRules.size(); ++i) {
            if (b3 & (1U << i)) {
                auto rule = parseFaultRule(kRules[i]);
                FUZZ_CHECK(rule.has_value());
                f.rules.push_back(*rule);
            }
        }
    }
    c.seed = 1U + b3;
    return c;
}

// A page address: a page of the layout most of the time, else any 24 bits.
std::uint32_t pageAddressFrom(ByteReader& in, const SimLayout& layout) {
    const std::uint8_t how = in.u8();
    if (how & 0x80) {
        const std::uint32_t high = in.u8();
        return high << 16 | in.u16();
    }
    return layout.pageAddress(in.u16() % (layout.pageLimit + 2));
}

std::vector<std::uint8_t> pageData(ByteReader& in, std::size_t size) {
    const auto given = in.bytes(in.u8());
    std::vector<std::uint8_t> data(size, 0xFF);
    std::copy_n(given.begin(), std::min(given.size(), size), data.begin());
    return data;
}

std::vector<std::uint8_t> binaryRequest(ByteReader& in, std::uint8_t op, const SimConfig& config,
                                        const SimLayout& layout) {
    const std::uint8_t to = in.u8();
    const std::uint16_t address = (to & 0x80) ? config.id : (to & 0x40) ? 1 : in.u16();
    const std::uint8_t which = in.u8();
    const std::uint16_t command = which < 0xF0 ? kCommands[which % kCommands.size()] : in.u16();
    std::optional<std::uint16_t> pin;
    if (op & 0x08) {
        pin = (op & 0x10) ? std::uint16_t{0x1234} : in.u16();
    }
    std::vector<std::uint8_t> payload;
    switch (in.u8() % 4) {
        case 0: {
            const auto raw = in.bytes(in.u8());
            payload.assign(raw.begin(), raw.end());
            break;
        }
        case 1:
        case 2: {
            const std::uint32_t a = pageAddressFrom(in, layout);
            payload = {0,
                       0,
                       0,
                       0,
                       0,
                       static_cast<std::uint8_t>(a >> 16),
                       static_cast<std::uint8_t>(a >> 8),
                       static_cast<std::uint8_t>(a)};
            if (op & 0x20) {
                const auto data = pageData(in, layout.pageSize);
                payload.insert(payload.end(), data.begin(), data.end());
            }
            break;
        }
        default:
            payload = {0, 0, 0, 0, 0, 0, 0, 0};
            if (op & 0x20) {
                payload[0] = 0x5B;
                payload[1] = 0xE4;
            } else {
                payload[0] = 0x6D;
                payload[1] = 0x2E;
            }
            break;
    }
    return buildBinaryRequest(address, command, payload, pin);
}

std::vector<std::uint8_t> textRequest(ByteReader& in, std::uint8_t op, const SimConfig& config,
                                      const SimLayout& layout) {
    const std::uint8_t to = in.u8();
    const std::uint16_t id = (to & 0x80) ? config.id : in.u16();
    const std::string who = addressDigits(id, (to & 0x40) != 0);
    std::string text;
    switch (in.u8() % 6) {
        case 0: {
            const auto raw = in.bytes(in.u8());
            text.assign(raw.begin(), raw.end());
            break;
        }
        case 1:
            text = who + ((op & 0x20) ? "AS1" : "AS");
            break;
        case 2: {
            const std::uint32_t a =
                (to & 0x20) ? in.u32() : layout.pageAddress(in.u16() % (layout.pageLimit + 2));
            text = who + "YP" + hex8(a);
            for (const std::uint8_t b : pageData(in, layout.pageSize)) {
                text += hexByte(b);
            }
            break;
        }
        case 3: {
            const std::uint32_t a =
                (to & 0x20) ? in.u32() : layout.pageAddress(in.u16() % (layout.pageLimit + 2));
            text = who + "YV" + hex8(a);
            break;
        }
        case 4: {
            const std::uint32_t length = in.u32();
            const std::uint32_t sum = in.u32();
            text = who + "YRC4E19D70" + hex8(length) + hex8(sum);
            break;
        }
        default:
            text = who + ((op & 0x20) ? "Zx73" : "Zx");
            break;
    }
    return buildTextRequest(text);
}

// A new device fills its memory (up to a megabyte) cell by cell, which under
// coverage instrumentation costs more than most inputs. Each configuration
// is built once and copied for every input that asks for it; a fresh copy
// is the same as a new device.
SimDevice newDevice(std::span<const std::uint8_t> configBytes, const SimConfig& config) {
    static std::map<std::vector<std::uint8_t>, std::unique_ptr<SimDevice>> built;
    const std::vector<std::uint8_t> key(configBytes.begin(), configBytes.end());
    auto it = built.find(key);
    if (it == built.end()) {
        if (built.size() >= 64) {
            built.clear();
        }
        it = built.emplace(key, std::make_unique<SimDevice>(config)).first;
    }
    return *it->second;
}

void checkDue(SimDevice& device, std::int64_t nowMs) {
    const auto due = device.takeDue(nowMs);
    std::int64_t last = INT64_MIN;
    for (const SimOutput& out : due) {
        FUZZ_CHECK(out.atMs <= nowMs);
        FUZZ_CHECK(out.atMs >= last);
        last = out.atMs;
        FUZZ_CHECK(out.disconnect || !out.bytes.empty());
    }
    if (const auto next = device.nextDueMs()) {
        FUZZ_CHECK(*next > nowMs);
    }
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    ByteReader in(data, size);
    const SimConfig config = configFrom(in);
    FUZZ_CHECK(!checkSimConfig(config).has_value());
    SimDevice device = newDevice(std::span(data, std::min<std::size_t>(size, 4)), config);
    const SimLayout layout = device.layout();
    const std::size_t memorySize = device.memory().size();
    FUZZ_CHECK(memorySize == layout.memorySize);
    device.linkOpened(0);

    std::int64_t now = 0;
    for (int ops = 0; !in.empty() && ops < 512; ++ops) {
        const std::uint8_t op = in.u8();
        std::vector<std::uint8_t> bytes;
        switch (op & 7U) {
            case 0: {
                const auto raw = in.bytes(in.u8());
                bytes.assign(raw.begin(), raw.end());
                break;
            }
            case 1:
                bytes = binaryRequest(in, op, config, layout);
                break;
            case 2:
                bytes = textRequest(in, op, config, layout);
                break;
            case 3: {
                const auto raw = in.bytes(in.u8() % 72);
                bytes = buildTabFrame(std::string(raw.begin(), raw.end()));
                break;
            }
            case 4: {
                // The count byte holds the data size plus 2: 253 bytes at most.
                const auto raw = in.bytes(std::min<std::size_t>(in.u8(), 253));
                bytes = buildAAFrame(raw);
                break;
            }
            case 5:
                bytes.assign(kFixedBlock.begin(), kFixedBlock.end());
                break;
            case 6:
                now += in.u16();
                checkDue(device, now);
                break;
            default:
                switch (in.u8() % 3) {
                    case 0:
                        device.linkClosed(now);
                        break;
                    case 1:
                        device.linkOpened(now);
                        break;
                    default:
                        device.noteFlush(in.u8(), now);
                        break;
                }
                break;
        }
        if (!bytes.empty()) {
            // Whole, or in two pieces that arrive a little apart.
            const std::size_t cut = (op & 0x40) ? in.u8() % bytes.size() : 0;
            if (cut > 0) {
                device.receive(std::span(bytes).first(cut), now);
                now += (op & 0x80) ? 1 : 0;
            }
            device.receive(std::span(bytes).subspan(cut), now);
        }
        FUZZ_CHECK(device.memory().size() == memorySize);
    }
    // Everything queued comes due in the end.
    now += 10'000'000;
    checkDue(device, now);
    FUZZ_CHECK(!device.nextDueMs().has_value());
    // FLASHMERE_FUZZ_TRACE=1 prints the device's transcript (to study an input).
    static const bool trace = std::getenv("FLASHMERE_FUZZ_TRACE") != nullptr;
    if (trace) {
        for (const SimEvent& e : device.transcript()) {
            std::fprintf(stderr, "%s\n", toJsonLine(e).c_str());
        }
    }
    return 0;
}
