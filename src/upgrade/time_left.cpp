#include "upgrade/time_left.h"

#include <algorithm>

#include "device/model_tables.h"

namespace flashmere {
namespace {

// Pauses of the sequence itself, the same for every model: before the
// first page read back, after a verified run; for the binary models before
// each page and around the start.
constexpr std::int64_t kVerifyStartMs = 100 + 20;
constexpr std::int64_t kVerifiedMs = 50;
constexpr double kPauseBeforePageMs = 5;
constexpr std::int64_t kBinaryStartMs = 100;
constexpr std::int64_t kRebootTickMs = 500;  // the wait ends at a tick
constexpr std::int64_t kTextStartMs = 5;

double erasesPerPage(const ProgramProfile& p) {
    switch (p.eraseRule) {
        case EraseRule::Never:
            return 0;
        case EraseRule::EveryNth:
            return p.eraseInterval > 0 ? 1.0 / p.eraseInterval : 0;
        case EraseRule::FirstOrOdd:
            return 0.5;
    }
    return 0;
}

}  // namespace

KnownPauses knownPausesFor(std::uint16_t model, bool verify) {
    const std::int64_t verified = verify ? kVerifiedMs : 0;
    const ModelFamily* family = loaderFamilyFor(model);
    if (!family || !family->programming) {
        // The text models pause 1 ms before each page.
        return {.programPageMs = 1,
                .verifyPageMs = verify ? 1.0 : 0.0,
                .verifyStartMs = verify ? kVerifyStartMs : 0,
                .afterPagesMs = verified + kTextStartMs};
    }
    const ProgramProfile& p = *family->programming;
    KnownPauses pauses;
    pauses.erasesPerPage = erasesPerPage(p);
    pauses.programPageMs =
        kPauseBeforePageMs + p.pauseAfterPageMs +
        pauses.erasesPerPage * (p.pauseBeforeEraseMs + 50 + p.extraPauseAfterEraseMs);
    pauses.verifyStartMs = verify ? kVerifyStartMs : 0;
    if (verify && family->verification) {
        const VerifyProfile& v = *family->verification;
        pauses.verifyPageMs = v.pauseBeforeAttemptMs + (v.style != VerifyStyle::Quick ? 5 : 0) +
                              (v.style != VerifyStyle::Standard ? 5 : 0);
    }
    const int rebootSeconds = runCommandFor(model).rebootSeconds;
    pauses.afterPagesMs = verified + kBinaryStartMs +
                          (rebootSeconds > 0 ? rebootSeconds * 1000LL + kRebootTickMs : 0);
    return pauses;
}

TimeLeftEstimate::TimeLeftEstimate(const KnownPauses& pauses, bool verify, std::int64_t runStartMs)
    : pauses_(pauses), verify_(verify), runStartMs_(runStartMs) {}

void TimeLeftEstimate::stageStarted(bool verifying, int total, std::int64_t nowMs) {
    running_ = total > 0;
    verifying_ = verifying;
    total_ = total;
    stageStartMs_ = nowMs;
}

bool TimeLeftEstimate::pageDone(int done, std::int64_t nowMs, RunTimes& times) {
    if (!running_) {
        return false;
    }
    done = std::clamp(done, 0, total_);
    const double known = verifying_ ? pauses_.verifyPageMs : pauses_.programPageMs;
    const double pace =
        done > 0 ? static_cast<double>(nowMs - stageStartMs_) / done : known + exchangeMs_;
    if (!verifying_ && done > 0) {
        // A read page carries as many bytes as a written one: its wire and
        // device time is taken to be the same; an erase counts as one more
        // exchange.
        exchangeMs_ = std::max(0.0, pace - pauses_.programPageMs) / (1 + pauses_.erasesPerPage);
    }
    double left = (total_ - done) * pace;
    if (!verifying_ && verify_) {
        left += static_cast<double>(pauses_.verifyStartMs) + exchangeMs_ +
                total_ * (pauses_.verifyPageMs + exchangeMs_);
    }
    times.elapsedMs = nowMs - runStartMs_;
    times.leftMs = static_cast<std::int64_t>(left) + pauses_.afterPagesMs;
    times.verifying = verifying_;
    return true;
}

}  // namespace flashmere
