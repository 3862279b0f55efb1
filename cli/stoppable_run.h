#pragma once

#include <functional>
#include <string>

#include "frontend/stop_request.h"

namespace flashmere::cli {

// Runs one device operation of a command (upgrade, erase, read-back) on a
// worker thread that the stop signals never interrupt, and blocks until it
// has ended. A stop signal meanwhile (Ctrl-C, SIGTERM, SIGHUP) becomes a
// request on stop, which the operation's transports and reboot wait read:
// it ends at its next exchange, with its link closed. An exception the
// operation throws comes out of this call.
void runStoppable(StopRequest& stop, const std::function<void()>& operation);

// The reason a stopped run ends with: its own when that names the stop
// already, else the stop's before it.
std::string reasonOfStoppedRun(const StopRequest& stop, const std::string& reason);

}  // namespace flashmere::cli
