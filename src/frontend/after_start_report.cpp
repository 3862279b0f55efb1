#include "frontend/after_start_report.h"

#include "frontend/exit_codes.h"

namespace flashmere {

std::optional<AfterStartCheck> checkAfterUpgrade(RecordedRun& run, TransportFactory& transports,
                                                 Clock& clock, const OperatorOptions& options,
                                                 const FirmwareImage& image,
                                                 const RunOutcome& outcome, bool stopRequested,
                                                 std::int64_t waitMs) {
    if (!options.checkAfterStart || !outcome.ok() || stopRequested) {
        return std::nullopt;
    }
    const std::string& versionBefore = run.recorder().devicePanel(DeviceField::FirmwareVersion);
    return checkAfterStart(transports, clock, options, versionBefore, image.firmwareVersion,
                           waitMs);
}

int tellAfterStartCheck(RecordedRun& run, const AfterStartCheck& check, RunOutcome& outcome,
                        int exitCode) {
    outcome.reason += (outcome.reason.empty() ? "" : "; ") + check.reason;
    run.panel().showMessageReason(outcome.reason);
    run.noteVersionAfter(check.version);
    return check.passed ? exitCode : exitStatus(ExitCode::CheckAfterStartFailed);
}

}  // namespace flashmere
