#pragma once

#include <optional>
#include <string>

#include "cli_common.h"
#include "console_panel.h"
#include "firmware/firmware_image.h"
#include "operator/message_row.h"
#include "operator/operator_panel.h"

namespace flashmere::cli {

// The link and device options shared by every command that talks to a
// device. Options left out come from the stored settings of the window.
struct DeviceArgs {
    std::string net;   // HOST[:PORT]
    std::string com;   // serial port name or path
    std::string mode;  // serial settings string
    int id = 0;
    std::string pin = "9174";
    std::string lang = "en";
    bool json = false;
    bool traces = false;
};

// The options a run starts from, or the reason the command line is unusable.
struct ResolvedOptions {
    OperatorOptions options;
    int languageIndex = 0;
};
std::optional<ResolvedOptions> resolveDeviceOptions(const DeviceArgs& args, std::string& error);

// The console as these options ask for it: language, JSON, traces, and
// bars redrawn in place when stdout is a terminal.
ConsolePanel::Style consoleStyleFor(const DeviceArgs& args, int languageIndex);

// Chooses a firmware file as the window's select button does. 0 when the
// file is accepted; otherwise the cause is printed (and put into *cause when
// given) and its exit code given.
int chooseFirmwareFile(const std::string& path, FirmwareImage& image, std::string* cause = nullptr);

// The Qt objects of the transports need an application object.
void ensureQtApplication();

}  // namespace flashmere::cli
