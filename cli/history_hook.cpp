#include "history_hook.h"

#include "cli_common.h"
#include "fleet_panel.h"

namespace flashmere::cli {

std::string linkAsGiven(const DeviceArgs& args) {
    return !args.net.empty() ? args.net : args.com;
}

RecordedRun recordedRun(OperatorPanel& panel, const char* frontEnd, const char* operation,
                        const std::string& address) {
    return RecordedRun(panel, RunHistory::ofThisUser(), QString::fromLatin1(frontEnd),
                       QString::fromLatin1(operation), address);
}

void recordRun(RecordedRun& run, const FirmwareImage* image, const RunOutcome& outcome,
               int exitCode) {
    const QString warning = run.finish(image, outcome, exitCode);
    if (!warning.isEmpty()) {
        writeLine(stderr, std::string(kProgramName) + ": " + oneLine(warning.toStdString()));
    }
}

}  // namespace flashmere::cli
