// Whole upgrades against the simulated device with line and device faults,
// in-process on a virtual clock: every model x fault x link x seed must keep
// the outcome honest, close the link, return within its time bound and
// count exactly the failed attempts the device's transcript shows.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "frontend/message_table.h"
#include "link/virtual_clock.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/firmware/scratch_dir.h"
#include "tests/support/attempt_ledger.h"
#include "tests/support/fake_transport.h"
#include "tests/support/recording_panel.h"
#include "tests/support/run_bound.h"
#include "tests/support/sim_ledger.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::reliability {
namespace {

using testing::RecordingPanel;
using testing::ScratchDir;

constexpr std::uint16_t kDeviceId = 3;
constexpr int kSeeds = 16;

struct ModelCase {
    const char* name;
    std::uint16_t model;
    int bodyBytes;
};

// Small images that still cross an erase block of each model.
const ModelCase kModels[] = {
    {"8401", 0x8401, 9 * 256 - 40},  // 9 pages, erase every 4
    {"8400", 0x8400, 34 * 128 + 7},  // 35 pages of 128, erase every 32, 10 s reboot wait
    {"8201", 0x8201, 6 * 256},       // every other model: erase every even page
    {"8801", 0x8801, 5 * 256 + 17},  // text path
};

enum class Expect { Ok, ProgramError, VerifyError, Any };

// What a run knows when it sets up its fault.
struct Plan {
    int pageCount = 0;
    int framesBeforeProgramming = 0;  // request frames up to the first program request
    std::uint64_t seed = 1;
};

struct FaultCase {
    const char* name;
    Expect expect;
    bool netOnly;
    std::function<void(SimConfig&, const Plan&)> apply;
    bool skipError = false;
    bool verify = true;
    // The link's writes fail from this request frame on (the device never
    // hears the attempts, so its transcript cannot count them); Skip error
    // cannot pass over a page that never left.
    std::function<int(const Plan&)> writesFailFrom = nullptr;
};

FaultRule rule(FaultTarget target, std::uint32_t index, const char* source,
               FaultAction action = FaultAction::None, std::int64_t amount = 0) {
    FaultRule r;
    r.target = target;
    r.index = index;
    r.source = source;
    r.action = action;
    r.amount = amount;
    return r;
}

// The request frame after which the device drops the connection: never the
// last page's, so that programming is cut short.
int disconnectIntoProgramming(const Plan& p) {
    return p.framesBeforeProgramming + 1 +
           static_cast<int>(p.seed % static_cast<std::uint64_t>(p.pageCount - 1));
}

std::uint32_t pageOf(const Plan& p) {
    return static_cast<std::uint32_t>(p.seed % static_cast<std::uint64_t>(p.pageCount));
}

const std::vector<FaultCase>& faultCases() {
    static const std::vector<FaultCase> cases = {
        {"none", Expect::Ok, false, [](SimConfig&, const Plan&) {}},
        {"drop 1%", Expect::Any, false,
         [](SimConfig& c, const Plan&) { c.faults.dropProbability = 0.01; }},
        {"drop 5%", Expect::Any, false,
         [](SimConfig& c, const Plan&) { c.faults.dropProbability = 0.05; }},
        {"drop 20%", Expect::Any, false,
         [](SimConfig& c, const Plan&) { c.faults.dropProbability = 0.20; }},
        {"corrupt 5%", Expect::Any, false,
         [](SimConfig& c, const Plan&) { c.faults.corruptProbability = 0.05; }},
        {"split, gaps 0-900 ms", Expect::Ok, false,
         [](SimConfig& c, const Plan&) {
             c.faults.splitGapMs = std::pair{0, 900};
         }},
        {"noise 24 bytes", Expect::Ok, false,
         [](SimConfig& c, const Plan&) { c.faults.noiseBytes = 24; }},
        {"stale 12 bytes", Expect::Ok, false,
         [](SimConfig& c, const Plan&) { c.faults.staleBytes = 12; }},
        {"disconnect mid-programming", Expect::ProgramError, true,
         [](SimConfig& c, const Plan& p) {
             c.faults.disconnectAfterFrames = disconnectIntoProgramming(p);
         }},
        {"silent after N pages", Expect::ProgramError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::SilentAfterPages, pageOf(p), "silent-after-pages"));
         }},
        {"corrupt page N", Expect::VerifyError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(rule(FaultTarget::CorruptPage, pageOf(p), "corrupt-page"));
         }},
        // A binary loader comes back out of loader mode and refuses the
        // rest; a text loader takes the page again after its restart.
        {"reboot at page N", Expect::Any, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(rule(FaultTarget::RebootAtPage, pageOf(p), "reboot-at-page"));
         }},
        {"short read replies of page N", Expect::VerifyError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::Read, pageOf(p), "read:N:short=99", FaultAction::Short, 99));
         }},
        // Skip error goes on past a page, but never to "Upgrade ok." unless
        // the page reads back equal; a lost link ends the run at once.
        {"skip: program page N never", Expect::VerifyError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::Program, pageOf(p), "program:N:never", FaultAction::Never));
         },
         true},
        {"skip, no verify: program page N never", Expect::ProgramError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::Program, pageOf(p), "program:N:never", FaultAction::Never));
         },
         true, false},
        {"skip: program and read page N never", Expect::VerifyError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::Program, pageOf(p), "program:N:never", FaultAction::Never));
             c.faults.rules.push_back(
                 rule(FaultTarget::Read, pageOf(p), "read:N:never", FaultAction::Never));
         },
         true},
        {"skip: disconnect mid-programming", Expect::ProgramError, true,
         [](SimConfig& c, const Plan& p) {
             c.faults.disconnectAfterFrames = disconnectIntoProgramming(p);
         },
         true},
        {"skip: short read replies of page N", Expect::VerifyError, false,
         [](SimConfig& c, const Plan& p) {
             c.faults.rules.push_back(
                 rule(FaultTarget::Read, pageOf(p), "read:N:short=99", FaultAction::Short, 99));
         },
         true},
        {"skip: writes fail mid-programming", Expect::ProgramError, false,
         [](SimConfig&, const Plan&) {}, true, true, disconnectIntoProgramming},
    };
    return cases;
}

bool isIdentificationFailure(MessageRow row) {
    return row == MessageRow::msgOpenPortError || row == MessageRow::msgConnectError ||
           row == MessageRow::msgModelOrPinError || row == MessageRow::msgFileTypeError ||
           row == MessageRow::msgLoadFileError;
}

bool shown(const RecordingPanel& panel, MessageRow row) {
    return std::find(panel.messages.begin(), panel.messages.end(), row) != panel.messages.end();
}

struct RunResult {
    MessageRow outcome = MessageRow::msgSelectFile;
    std::vector<std::string> violations;
    std::int64_t elapsedMs = 0;
    std::int64_t boundMs = 0;
};

class FaultMatrix {
  public:
    explicit FaultMatrix(const ModelCase& m) : model_(m) {
        std::vector<std::uint8_t> body(static_cast<std::size_t>(m.bodyBytes));
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<std::uint8_t>((i * 31 + i / 97 + 5) & 0xFF);
        }
        path_ = dir_.file("fw.TVB");
        if (!writeFirmwareFile(path_, m.model, "REL", "V1.0", body).ok) {
            throw std::runtime_error("cannot write the firmware file");
        }
    }

    // One upgrade with the given fault; checks every invariant.
    RunResult run(const FaultCase& fault, std::uint8_t linkKind, std::uint64_t seed) {
        FirmwareImage image;
        RunResult r;
        if (!selectFirmwareFile(path_, image).accepted || !loadFirmwareImage(image) ||
            image.pageCount == 0) {
            r.violations.push_back("firmware file not accepted");
            return r;
        }
        Plan plan{image.pageCount, framesBeforeProgramming(linkKind), seed};
        OperatorOptions runOptions = options(linkKind);
        runOptions.skipError = fault.skipError;
        runOptions.verify = fault.verify;
        SimConfig config;
        config.model = model_.model;
        config.id = kDeviceId;
        config.seed = seed;
        config.rebootMs = 500;
        fault.apply(config, plan);
        const int writesFailFrom = fault.writesFailFrom ? fault.writesFailFrom(plan) : -1;
        return runWith(config, runOptions, image, plan, fault.expect, writesFailFrom);
    }

  private:
    int framesBeforeProgramming(std::uint8_t linkKind) {
        auto& cached = framesBefore_[linkKind];
        if (cached > 0) {
            return cached;
        }
        SimConfig config;
        config.model = model_.model;
        config.id = kDeviceId;
        SimDevice device(config);
        VirtualClock clock;
        SimTransportFactory factory(device, clock);
        RecordingPanel panel(options(linkKind));
        FirmwareImage image;
        selectFirmwareFile(path_, image);
        DeviceRunContext context{panel, factory, clock, image};
        upgradeDevice(context);
        cached = reliability::framesBeforeProgramming(device);
        return cached;
    }

    static OperatorOptions options(std::uint8_t linkKind) {
        OperatorOptions o;
        o.deviceId = kDeviceId;
        o.verify = true;
        o.linkKind = linkKind;
        o.link.netIP = "127.0.0.1";
        o.link.comPortName = "ttyS0";
        return o;
    }

    RunResult runWith(const SimConfig& config, const OperatorOptions& runOptions,
                      FirmwareImage& image, const Plan& plan, Expect expect, int writesFailFrom) {
        RunResult r;
        const std::uint8_t linkKind = runOptions.linkKind;
        SimDevice device(config);
        VirtualClock clock;
        SimTransportFactory factory(device, clock);
        factory.writesBeforeFailure = writesFailFrom;
        RecordingPanel panel(runOptions);
        DeviceRunContext context{panel, factory, clock, image};

        const std::int64_t start = clock.nowMs();
        r.outcome = upgradeDevice(context).message;
        r.elapsedMs = clock.nowMs() - start;

        LinkTiming link;
        link.sendPauseMs = linkKind == kLinkNet ? 5 : 10;
        link.replySpanMs = config.latencyMs + 1;
        if (config.faults.splitGapMs) {
            link.replySpanMs += 3 * config.faults.splitGapMs->second;
        }
        r.boundMs = runBoundMs(timingFor(model_.model), plan.pageCount, link);

        auto& v = r.violations;
        const auto fail = [&v](const std::string& what) { v.push_back(what); };
        if (r.outcome != panel.lastMessage()) {
            fail("returned row differs from the last message shown");
        }
        // The outcome is honest: success only with the image in the device,
        // otherwise the failure message of the stage that failed.
        const bool memoryMatches = memoryEqualsImage(device, image);
        if (r.outcome == MessageRow::msgUpgradeOk) {
            if (!memoryMatches) {
                fail("Upgrade ok. but the device memory differs from the image");
            }
            if (panel.lamp != LampColour::Yellow) {
                fail("success with a red lamp");
            }
        } else {
            if (shown(panel, MessageRow::msgUpgradeOk)) {
                fail("Upgrade ok. shown in a failed run");
            }
            if (panel.lamp != LampColour::Red) {
                fail("failure with a yellow lamp");
            }
            MessageRow stageMessage = r.outcome;
            if (shown(panel, MessageRow::msgVerifying) && !shown(panel, MessageRow::msgVerifyOk)) {
                stageMessage = MessageRow::msgVerifyError;
            } else if (shown(panel, MessageRow::msgProgramming) &&
                       !shown(panel, MessageRow::msgProgramOk)) {
                stageMessage = MessageRow::msgProgramError;
            } else if (!isIdentificationFailure(r.outcome)) {
                fail(
                    "failure outside programming and verification without an identification "
                    "message");
            }
            if (r.outcome != stageMessage) {
                fail(std::string("ended with \"") + textOf(r.outcome, 0) + "\", stage wants \"" +
                     textOf(stageMessage, 0) + "\"");
            }
        }
        if (panel.busy) {
            fail("lamp still blinking at the end");
        }
        switch (expect) {
            case Expect::Ok:
                if (r.outcome != MessageRow::msgUpgradeOk) {
                    fail(std::string("expected Upgrade ok., got ") + textOf(r.outcome, 0));
                }
                break;
            case Expect::ProgramError:
                if (r.outcome != MessageRow::msgProgramError) {
                    fail(std::string("expected Program/Download error!, got ") +
                         textOf(r.outcome, 0));
                }
                break;
            case Expect::VerifyError:
                if (r.outcome != MessageRow::msgVerifyError) {
                    fail(std::string("expected Verify error!, got ") + textOf(r.outcome, 0));
                }
                break;
            case Expect::Any:
                break;
        }
        // The link is closed on every path.
        if (factory.openNow() != 0 || factory.opens() == 0) {
            fail("link left open: opens " + std::to_string(factory.opens()) + ", closes " +
                 std::to_string(factory.closes()));
        }
        if (r.elapsedMs > r.boundMs) {
            fail("took " + std::to_string(r.elapsedMs) + " ms, bound " + std::to_string(r.boundMs) +
                 " ms");
        }
        if (writesFailFrom >= 0) {
            checkFailedWrites(panel, fail);
            return r;
        }
        // The counters equal the failed attempts of the transcript.
        const Ledger ledger = readLedger(ledgerEventsOf(device));
        const CounterTriple tool{panel.counter(ErrorCounter::Erase),
                                 panel.counter(ErrorCounter::Program),
                                 panel.counter(ErrorCounter::Verify)};
        std::string why;
        if (!countersAgree(tool, ledger, why)) {
            fail(why);
        }
        return r;
    }

    // Failed writes end the page at once with the link's words, each
    // counted as a failed attempt; the device never heard them, so its
    // transcript counts nothing.
    template <typename Fail>
    static void checkFailedWrites(const RecordingPanel& panel, const Fail& fail) {
        if (panel.reason.find("could not be written") == std::string::npos) {
            fail("the reason does not name the failed write: " + panel.reason);
        }
        if (panel.counter(ErrorCounter::Erase) + panel.counter(ErrorCounter::Program) == 0) {
            fail("the failed writes were not counted as failed attempts");
        }
    }

    bool memoryEqualsImage(const SimDevice& device, const FirmwareImage& image) const {
        const int pageSize = pageLayoutFor(model_.model).pageSize;
        for (int i = 0; i < image.pageCount; ++i) {
            const auto expected = image.page(i, pageSize);
            const auto actual =
                device.readMemory(static_cast<std::uint32_t>(i * pageSize), expected.size());
            if (!std::equal(expected.begin(), expected.end(), actual.begin(), actual.end())) {
                return false;
            }
        }
        return true;
    }

    ModelCase model_;
    ScratchDir dir_;
    std::string path_;
    std::map<std::uint8_t, int> framesBefore_;
};

struct Tally {
    int runs = 0;
    std::map<std::string, int> outcomes;
    std::int64_t longestMs = 0;
    std::int64_t boundMs = 0;
    int violations = 0;
};

TEST(FaultMatrix, EveryModelFaultAndSeedKeepsTheOutcomeHonestAndTheCountersExact) {
    std::map<std::string, Tally> byFault;
    int total = 0;
    for (const ModelCase& m : kModels) {
        FaultMatrix matrix(m);
        for (const FaultCase& fault : faultCases()) {
            for (std::uint8_t linkKind : {kLinkNet, kLinkCom}) {
                if (fault.netOnly && linkKind != kLinkNet) {
                    continue;
                }
                for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
                    const RunResult r = matrix.run(fault, linkKind, seed);
                    ++total;
                    Tally& t = byFault[fault.name];
                    ++t.runs;
                    ++t.outcomes[textOf(r.outcome, 0)];
                    t.longestMs = std::max(t.longestMs, r.elapsedMs);
                    t.boundMs = std::max(t.boundMs, r.boundMs);
                    t.violations += static_cast<int>(r.violations.size());
                    for (const auto& what : r.violations) {
                        ADD_FAILURE() << m.name << " / " << fault.name << " / "
                                      << (linkKind == kLinkNet ? "tcp" : "serial") << " / seed "
                                      << seed << ": " << what;
                    }
                }
            }
        }
    }
    // The table that docs/RELIABILITY.md quotes.
    std::printf("| Fault | Runs | Outcomes | Longest run (virtual ms) | Violations |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const FaultCase& fault : faultCases()) {
        const Tally& t = byFault[fault.name];
        std::string outcomes;
        for (const auto& [text, n] : t.outcomes) {
            outcomes += (outcomes.empty() ? "" : ", ") + text + " " + std::to_string(n);
        }
        std::printf("| %s | %d | %s | %lld | %d |\n", fault.name, t.runs, outcomes.c_str(),
                    static_cast<long long>(t.longestMs), t.violations);
    }
    std::printf("total runs: %d\n", total);
    EXPECT_GT(total, 1400);
}

// The bound is not vacuous: a device that never answers a program request
// uses up every attempt and still finishes inside it, close to it.
TEST(FaultMatrix, TheTimeBoundHoldsForADeviceThatNeverAnswersProgramming) {
    for (const ModelCase& m : kModels) {
        FaultMatrix matrix(m);
        const FaultCase never{"program never answered", Expect::ProgramError, false,
                              [](SimConfig& c, const Plan&) {
                                  FaultRule r;
                                  r.target = FaultTarget::Program;
                                  r.index = 0;
                                  r.action = FaultAction::Never;
                                  r.source = "program:0:never";
                                  c.faults.rules.push_back(r);
                              }};
        const RunResult r = matrix.run(never, kLinkNet, 1);
        EXPECT_TRUE(r.violations.empty()) << m.name << ": " << r.violations.front();
        EXPECT_EQ(r.outcome, MessageRow::msgProgramError) << m.name;
        // Three attempts of 1 s silence each, 200 ms apart.
        EXPECT_GE(r.elapsedMs, 3 * 1001) << m.name;
    }
}

// A line where no device answers while a peer sends a stray byte every
// 300 ms, asked or not: the start bytes of both reply frames in turn, so that
// every reply seems to begin and never ends.
class ChatteringLine final : public TransportFactory {
  public:
    explicit ChatteringLine(VirtualClock& clock) : clock_(clock) {}
    std::unique_ptr<Transport> openSerial(const std::string&, const std::string&,
                                          TraceSink&) override {
        return open();
    }
    std::unique_ptr<Transport> openTcp(const std::string&, std::uint16_t, std::int64_t) override {
        return open();
    }

  private:
    std::unique_ptr<Transport> open() {
        auto line = std::make_unique<testing::FakeTransport>(clock_);
        for (int i = 1; i <= 400; ++i) {  // two minutes of chatter
            line->deliver({i % 2 == 1 ? std::uint8_t{0x06} : std::uint8_t{0x03}}, 300 * i);
        }
        return line;
    }
    VirtualClock& clock_;
};

// On a chattering line the upgrade ends "Connect device error!" within the
// bound of identification's six hello requests at their 3 s deadline each,
// with a reason that names the noise, over both links. Before each exchange
// had a deadline this run never ended. The real-time runs through both
// programs are Matrix/ChatteringLine.* (scripts/fault-matrix.sh); the real
// transports' deadline, LinkAgainstDevsim.AChatteringLineEndsTheExchangeByItsDeadline.
TEST(FaultMatrix, AChatteringLineEndsConnectDeviceErrorWithinItsBound) {
    constexpr std::int64_t kBoundMs = 6 * 3110 + 600;  // requests, pauses
    ScratchDir dir;
    const std::string path = dir.file("fw.TVB");
    ASSERT_TRUE(
        writeFirmwareFile(path, 0x8401, "REL", "V1.0", std::vector<std::uint8_t>(512, 0x5A)).ok);
    for (const std::uint8_t kind : {kLinkNet, kLinkCom}) {
        VirtualClock clock;
        ChatteringLine line(clock);
        OperatorOptions options;
        options.linkKind = kind;
        options.link.netIP = "127.0.0.1";
        options.link.comPortName = "ttyS0";
        options.link.comBaudRate = "115200,n,8,1";
        RecordingPanel panel(options);
        FirmwareImage image;
        ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
        DeviceRunContext context{panel, line, clock, image};
        EXPECT_EQ(upgradeDevice(context).message, MessageRow::msgConnectError) << int{kind};
        EXPECT_EQ(panel.reason.rfind("noise on the line ", 0), 0U) << panel.reason;
        EXPECT_LE(clock.nowMs(), kBoundMs) << int{kind};
        EXPECT_GE(clock.nowMs(), 6 * 3000) << "each request ends at its deadline";
    }
}

// The ledger itself: a hand-written transcript and counters that are off.
TEST(AttemptLedger, CountsFailedAttemptsPerCounterAndRefusesCountersThatAreOff) {
    const auto req = [](std::uint16_t command, std::uint32_t page) {
        return LedgerEvent{"request", "binary", command, "", page, ""};
    };
    const auto reply = [](const char* note = "") {
        return LedgerEvent{"reply", "binary", 0, "", std::nullopt, note};
    };
    const LedgerEvent none{"no-reply", "binary", 0, "", std::nullopt, "dropped"};
    const std::vector<LedgerEvent> events = {
        req(0x0001, 0), reply(),  // hello: no counter
        req(0x603B, 0), none,
        req(0x603B, 0), reply(),                    // erase: first attempt failed
        req(0x6039, 0), reply("corrupted byte 9"),  // program: refused reply
        req(0x6039, 0), reply(),                    //
        req(0x603A, 0), none,
        req(0x603A, 0), none,                       // two failed reads
        req(0x603A, 0), reply("corrupted byte 4"),  // may pass unchecked
    };
    const Ledger ledger = readLedger(events);
    EXPECT_EQ(ledger.failed, (CounterTriple{1, 1, 2}));
    EXPECT_EQ(ledger.ambiguous, (CounterTriple{0, 0, 1}));
    std::string why;
    EXPECT_TRUE(countersAgree({1, 1, 2}, ledger, why));
    EXPECT_TRUE(countersAgree({1, 1, 3}, ledger, why));
    for (const CounterTriple& off :
         {CounterTriple{0, 1, 2}, CounterTriple{2, 1, 2}, CounterTriple{1, 0, 2},
          CounterTriple{1, 2, 2}, CounterTriple{1, 1, 1}, CounterTriple{1, 1, 4}}) {
        EXPECT_FALSE(countersAgree(off, ledger, why))
            << off.erase << "/" << off.program << "/" << off.verify;
    }
}

}  // namespace
}  // namespace flashmere::reliability
