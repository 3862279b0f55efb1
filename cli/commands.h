#pragma once

#include "cli_common.h"

namespace flashmere::cli {

// One registration function per subcommand, each in its own cmd_*.cpp.
void registerInfoCommand(CLI::App& app, CommandOutcome& outcome);
void registerPackCommand(CLI::App& app, CommandOutcome& outcome);
void registerUpgradeCommand(CLI::App& app, CommandOutcome& outcome);
void registerServiceCommands(CLI::App& app, CommandOutcome& outcome);
void registerPortsCommand(CLI::App& app, CommandOutcome& outcome);
void registerScanCommand(CLI::App& app, CommandOutcome& outcome);
void registerFleetCommand(CLI::App& app, CommandOutcome& outcome);

}  // namespace flashmere::cli
