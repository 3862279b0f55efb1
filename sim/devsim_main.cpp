// flashmere-devsim: a simulated field device on a TCP port, a pseudo-terminal
// or a serial port, for end-to-end tests, benchmarks and demonstrations.

#include <iostream>
#include <optional>
#include <stdexcept>

#include "devsim_options.h"
#include "devsim_output.h"
#include "devsim_serve.h"
#include "sim_bus.h"

int main(int argc, char** argv) {
    using namespace flashmere;
    DevsimOptions options;
    if (const auto code = parseDevsimOptions(argc, argv, options)) {
        return *code;
    }
    if (options.tcpPorts > 1) {
        try {
            return serveTcpPorts(options, blockStopSignals());
        } catch (const std::invalid_argument& refused) {
            return devsimUsage(refused.what());
        }
    }
    std::optional<SimBus> bus;
    try {
        bus.emplace(std::move(options.devices));
    } catch (const std::invalid_argument& refused) {
        return devsimUsage(refused.what());
    }
    DevsimLog log;
    if (!options.logPath.empty() && !log.open(options.logPath)) {
        return devsimUsage("cannot write the log file " + options.logPath);
    }
    const sigset_t waitMask = blockStopSignals();
    DevsimLink link;
    if (const auto code = openDevsimLink(options, link)) {
        return *code;
    }
    int exitCode = serveDevsim(*bus, link, log, options, waitMask);
    log.flush(*bus);
    if (!options.dumpPath.empty() && !writeDevsimDump(options.dumpPath, *bus)) {
        std::cerr << "flashmere-devsim: cannot write the dump file " << options.dumpPath << "\n";
        exitCode = 1;
    }
    link.closeAll();
    return exitCode;
}
