#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

#ifndef FLASHMERE_VERSION
#define FLASHMERE_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    using namespace flashmere::cli;
    CLI::App app{"Flashmere: firmware files and upgrades of field devices", kProgramName};
    app.set_version_flag("-V,--version", std::string(kProgramName) + " " FLASHMERE_VERSION,
                         "Print the program's version and exit");
    app.require_subcommand(1);
    app.footer(
        "Exit codes (cli/EXIT_CODES.md):\n"
        "  0  success (\"Upgrade ok.\")\n"
        "  1  unexpected failure inside the tool\n"
        "  2  bad usage: unknown command or option, bad value, no device link given\n"
        "  3  a file to read is missing or unreadable\n"
        "  4  the firmware file is rejected (\"Firmware file type error!\")\n"
        "  5  an output file cannot be written\n"
        "  6  info: the upgrade would refuse the file\n"
        "  10 \"Open communication port error!\"\n"
        "  11 \"Connect device error!\"\n"
        "  12 \"Model or PIN error!\"\n"
        "  13 \"Firmware file type error!\" (the device's model differs)\n"
        "  14 \"Load firmware file error!\"\n"
        "  15 \"Program/Download error!\"\n"
        "  16 \"Verify error!\"\n"
        "  17 read-back incomplete\n"
        "  20 fleet: at least one device did not end \"Upgrade ok.\"");

    CommandOutcome outcome;
    registerInfoCommand(app, outcome);
    registerPackCommand(app, outcome);
    registerUpgradeCommand(app, outcome);
    registerServiceCommands(app, outcome);
    registerPortsCommand(app, outcome);
    registerScanCommand(app, outcome);
    registerFleetCommand(app, outcome);
    return runCli(app, outcome, argc, argv);
}
