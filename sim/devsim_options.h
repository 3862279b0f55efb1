#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim_config.h"

namespace flashmere {

// What flashmere-devsim was told to do.
struct DevsimOptions {
    std::string tcpEndpoint;  // [HOST:]PORT
    int tcpPorts = 1;         // lines alike on PORT, PORT+1, ... (--tcp-ports)
    bool usePty = false;      // serve a new pseudo-terminal
    std::string serialPath;   // serve an existing serial port
    std::optional<LineMode> line;
    std::vector<SimConfig> devices;  // every device on the line
    std::string logPath;
    std::string dumpPath;
    bool exitAfterRun = false;
    // One stray byte every chatterMs on the line, asked or not (0: none).
    int chatterMs = 0;
};

// Reads the command line into options. Returns the exit code when the
// program ends here (help, --version, bad usage), nullopt when it runs.
std::optional<int> parseDevsimOptions(int argc, char** argv, DevsimOptions& options);

// Prints "flashmere-devsim: message" on stderr and gives the bad-usage code 2.
int devsimUsage(const std::string& message);

}  // namespace flashmere
