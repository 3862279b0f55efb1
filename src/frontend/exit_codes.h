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

}  // namespace flashmere
