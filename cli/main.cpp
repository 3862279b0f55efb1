#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

#ifndef FLASHMERE_VERSION
#define FLASHMERE_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    using namespace flashmere::cli;
    CLI::App app{"Flashmere: firmware files and upgrades of field devices", kProgramName};
    app.set_version_flag("--version", std::string(kProgramName) + " " FLASHMERE_VERSION,
                         "Print the program's version and exit");
    app.require_subcommand(1);
    app.footer(
        "Exit codes: 0 ok, 2 bad usage, 3 file unreadable, 4 firmware file rejected, "
        "5 cannot write output.");

    CommandOutcome outcome;
    registerInfoCommand(app, outcome);
    registerPackCommand(app, outcome);
    registerUpgradeCommand(app, outcome);
    registerServiceCommands(app, outcome);
    registerScanCommand(app, outcome);
    registerFleetCommand(app, outcome);
    return runCli(app, outcome, argc, argv);
}
