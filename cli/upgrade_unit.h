#pragma once

#include <string>

#include "commands.h"
#include "firmware/firmware_image.h"
#include "operator/operator_panel.h"

namespace flashmere::cli {

// One upgrade of the device behind the link as `upgrade` runs it: its
// events, its record and, with --json, its result line. serial: the serial
// number the device reported (empty when none). Returns the exit code.
int upgradeOneUnit(const UpgradeArgs& args, const OperatorOptions& options, int languageIndex,
                   FirmwareImage& image, std::string& serial);

// `upgrade --repeat`: the first device at once, then device after device as
// each comes to the link, until --count devices were done or a stop request
// (Ctrl-C) came while waiting; a summary at the end. 0 only when every
// device ended "Upgrade ok.", otherwise 20.
int repeatUpgrades(const UpgradeArgs& args, const OperatorOptions& options, int languageIndex,
                   FirmwareImage& image);

}  // namespace flashmere::cli
