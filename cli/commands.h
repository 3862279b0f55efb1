#pragma once

#include <string>

#include "device_options.h"

// The subcommands as plain functions of what their options hold. The options
// themselves are registered in command_line.cpp, the one file that includes
// CLI11 (it costs seconds to compile each time it is included).
namespace flashmere::cli {

// Parses the command line and runs the chosen command; gives the exit code.
// Help and version exit 0; a parse error prints one line and exits with
// ExitCode::Usage.
int runCommandLine(int argc, char** argv);

struct InfoArgs {
    std::string file;
};
int runInfoCommand(const InfoArgs& args);

struct PackArgs {
    std::string model;
    std::string name;
    std::string version;
    std::string body;
    std::string out;
};
int runPackCommand(const PackArgs& args);

struct UpgradeArgs {
    std::string file;
    DeviceArgs device;
    bool noVerify = false;
    bool skipErrors = false;
    bool noWakeUpFrames = false;
    bool serialNumberWakeUp = false;
    // After the start: identify the device again and say its version.
    bool checkAfter = false;
    // Device after device on the link: after each ending, wait for the next.
    bool repeat = false;
    int count = 0;  // units to upgrade with repeat; 0: until stopped
};
int runUpgradeCommand(const UpgradeArgs& args);

// query, erase and readback: each reads the fields it needs.
struct ServiceArgs {
    std::string what;  // query: sn, id or ver
    std::string file;  // erase
    std::string out = ".";
    DeviceArgs device;
};
int runQueryCommand(const ServiceArgs& args);
int runEraseCommand(const ServiceArgs& args);
int runReadbackCommand(const ServiceArgs& args);

struct PortsArgs {
    bool json = false;
};
int runPortsCommand(const PortsArgs& args);

struct ScanArgs {
    DeviceArgs device;
    std::string ids = "0-31";
    int timeoutMs = 300;
};
int runScanCommand(const ScanArgs& args);

struct FleetArgs {
    std::string manifest;
    std::string file;
    int jobs = 8;
    std::string report;
    std::string resume;
    std::string logs;
    bool noVerify = false;
    bool skipErrors = false;
    bool noWakeUpFrames = false;
    bool serialNumberWakeUp = false;
    bool checkAfter = false;
    std::string lang = "en";
    bool json = false;
    // A device option (--net, --com, ...) given to fleet, which refuses it:
    // the manifest names each device's link.
    std::string deviceOption;
};
int runFleetCommand(const FleetArgs& args);

// The history of runs, newest first; the filters all apply at once.
struct HistoryArgs {
    bool json = false;
    bool csv = false;
    std::string since;   // a date or an ISO 8601 time; empty: every run
    std::string serial;  // empty: every device
    int id = -1;         // -1: every ID
};
int runHistoryCommand(const HistoryArgs& args);

}  // namespace flashmere::cli
