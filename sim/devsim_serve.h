#pragma once

#include <signal.h>

#include <optional>

#include "devsim_options.h"
#include "devsim_output.h"
#include "sim_bus.h"

namespace flashmere {

// The descriptors of the line flashmere-devsim serves.
struct DevsimLink {
    bool tcp = false;
    int listenFd = -1;
    int linkFd = -1;    // the client socket, the pty master or the serial port
    int ptySlave = -1;  // held open so that the master never sees a hang-up

    void closeAll();
};

// SIGTERM and SIGINT are blocked and taken only inside the server's wait, so
// no wake-up is lost. Returns the signal mask of that wait.
sigset_t blockStopSignals();

// Opens the TCP listener, pty or serial port the options name and prints the
// first line on stdout. Returns the exit code when it cannot.
std::optional<int> openDevsimLink(const DevsimOptions& options, DevsimLink& link);

// Serves the line until SIGTERM or SIGINT (or, with exitAfterRun, until the
// started program's reboot ended); with chatterMs, sends one stray byte that
// often. Returns the exit code.
int serveDevsim(SimBus& bus, DevsimLink& link, DevsimLog& log, const DevsimOptions& options,
                const sigset_t& waitMask);

// --tcp-ports N: N lines alike, each with its own copy of the devices, on
// ports PORT to PORT+N-1 (port 0: any free ones), one "listening on" line
// each, every line served by a thread of its own until SIGTERM or SIGINT.
int serveTcpPorts(const DevsimOptions& options, const sigset_t& waitMask);

}  // namespace flashmere
