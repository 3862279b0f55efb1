#pragma once

#include <cstdint>
#include <optional>

#include "firmware/firmware_image.h"
#include "frontend/run_recorder.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/operator_panel.h"
#include "operator/run_outcome.h"
#include "service/after_start_check.h"

namespace flashmere {

// The check after the start of an upgrade that ended with outcome: made when
// options.checkAfterStart is set, the run ended "Upgrade ok." and no stop was
// requested; nullopt when it was not made. The version before is the one the
// run's device panel showed; it runs on the run's thread.
std::optional<AfterStartCheck> checkAfterUpgrade(RecordedRun& run, TransportFactory& transports,
                                                 Clock& clock, const OperatorOptions& options,
                                                 const FirmwareImage& image,
                                                 const RunOutcome& outcome, bool stopRequested,
                                                 std::int64_t waitMs = kAfterStartWaitMs);

// Tells what the check found: its reason after the outcome's own (on the
// run's panel too), the version it reported for the record. Returns the
// run's exit code: ExitCode::CheckAfterStartFailed when the check failed,
// else exitCode.
int tellAfterStartCheck(RecordedRun& run, const AfterStartCheck& check, RunOutcome& outcome,
                        int exitCode);

}  // namespace flashmere
