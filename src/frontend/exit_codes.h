#pragma once

#include "operator/message_row.h"
#include "service/service_functions.h"

namespace flashmere {

// How a device run ended as flashmere-cli's exit code (cli/EXIT_CODES.md),
// so that the history gives a window's run the code the command line would.
// The upgrade: 0 for "Upgrade ok.", 10 and up for each failure message, 1
// for anything else.
int upgradeExitCode(MessageRow outcome);
// An erase or a read-back.
int serviceExitCode(ServiceOutcome outcome);

// A run stopped from outside before its end: by a signal (SIGINT, SIGTERM,
// SIGHUP; Ctrl-C, Ctrl-Break or a closed console on Windows), or in the
// window by the operator closing it.
inline constexpr int kStoppedExitCode = 18;

// "Upgrade ok." whose check after the start failed: the device did not
// answer, or still reports the version it had before the upgrade.
inline constexpr int kCheckAfterStartFailedExitCode = 19;

// The exit code of a run that ended with exitCode: a run that failed after a
// stop was requested was stopped, whatever message its stage ended with.
inline int exitCodeOfRun(int exitCode, bool stopRequested) {
    return stopRequested && exitCode != 0 ? kStoppedExitCode : exitCode;
}

}  // namespace flashmere
