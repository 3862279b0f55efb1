#include "frontend/after_start_report.h"

#include "frontend/exit_codes.h"

namespace flashmere {

std::optional<AfterStartCheck> checkAfterUpgrade(RecordedRun& run, TransportFactory& transports,
                                                 Clock& clock, const OperatorOptions& options,
                                                 const FirmwareImage& image, MessageRow result,
                                                 bool stopRequested, std::int64_t waitMs) {
    if (!options.checkAfterStart || result != MessageRow::msgUpgradeOk || stopRequested) {
        return std::nullopt;
    }
    const std::string& versionBefore = run.recorder().devicePanel(DeviceField::FirmwareVersion);
    return checkAfterStart(transports, clock, options, versionBefore, image.firmwareVersion,
                           waitMs);
}

int tellAfterStartCheck(RecordedRun& run, const AfterStartCheck& check, int exitCode) {
    const std::string reason = run.recorder().reason();
    run.panel().showMessageReason(reason + (reason.empty() ? "" : "; ") + check.reason);
    run.noteVersionAfter(check.version);
    return check.passed ? exitCode : kCheckAfterStartFailedExitCode;
}

}  // namespace flashmere
