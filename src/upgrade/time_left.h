#pragma once

#include <cstdint>

#include "operator/operator_panel.h"

namespace flashmere {

// The pauses a model's row prescribes, per page and after the pages: the
// part of a run's time that is known before any page went out.
struct KnownPauses {
    double programPageMs = 0;        // a page written, its share of the erases included
    double erasesPerPage = 0;        // erase requests per page written
    double verifyPageMs = 0;         // a page read back
    std::int64_t verifyStartMs = 0;  // before the first page read back
    std::int64_t afterPagesMs = 0;   // the start and the reboot wait
};
KnownPauses knownPausesFor(std::uint16_t model, bool verify);

// The time left of an upgrade after `done` of `total` pages of its stage:
// the pages left at the pace the run measured so far (the known pauses
// alone before the first page), the verification to come at the pauses of
// its row plus the wire and device time each written page took, and the
// start with its reboot wait.
class TimeLeftEstimate {
  public:
    TimeLeftEstimate(const KnownPauses& pauses, bool verify, std::int64_t runStartMs);

    void stageStarted(bool verifying, int total, std::int64_t nowMs);
    // Fills times; false when no stage with pages is running.
    bool pageDone(int done, std::int64_t nowMs, RunTimes& times);

  private:
    KnownPauses pauses_;
    bool verify_;
    std::int64_t runStartMs_;
    bool running_ = false;
    bool verifying_ = false;
    int total_ = 0;
    std::int64_t stageStartMs_ = 0;
    double exchangeMs_ = 0;  // the wire and device time a written page took
};

}  // namespace flashmere
