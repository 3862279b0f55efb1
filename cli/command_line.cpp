// Every option of flashmere-cli, registered in this one file: CLI11 is
// header-only and costs seconds of compiling in each file that includes it.
// The commands themselves (cmd_*.cpp) run from the plain structs filled here.
#include <CLI/CLI.hpp>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "cli_common.h"
#include "commands.h"
#include "device_options.h"

#ifndef FLASHMERE_VERSION
#define FLASHMERE_VERSION "0.0.0"
#endif

namespace flashmere::cli {
namespace {

// Where a subcommand's result lands: each registered command sets it from its
// callback, runCommandLine returns it.
struct CommandOutcome {
    int exitCode = 0;
};

// Makes `run` the callback of `command`; its result becomes the exit code.
void attachRunner(CLI::App* command, CommandOutcome& outcome, std::function<int()> run) {
    command->callback([&outcome, run = std::move(run)] { outcome.exitCode = run(); });
}

// The link and device options shared by every command that talks to a device.
void addDeviceOptions(CLI::App* command, DeviceArgs& args, bool withId = true) {
    // An empty value (say, an unset shell variable) must not fall back to
    // the stored link: that could reach another device than the one meant.
    const CLI::Validator notEmpty(
        [](std::string& value) { return value.empty() ? std::string("is empty") : std::string(); },
        "NOT EMPTY");
    auto* net = command->add_option("--net", args.net,
                                    "Device on TCP: HOST[:PORT] (port 5003 when left out)");
    auto* com = command->add_option("--com", args.com,
                                    "Device on a serial port: a name such as ttyUSB0, or a path");
    net->excludes(com)->check(notEmpty);
    com->check(notEmpty);
    command->add_option("--mode", args.mode, "Serial settings, e.g. \"19200,e,8,1\"")
        ->needs(com)
        ->check(notEmpty);
    if (withId) {
        command->add_option("--id", args.id, "Device ID, 0 to 9999")
            ->check(CLI::Range(0, 9999))
            ->default_val(0);
    }
    command->add_option("--pin", args.pin, "PIN, 1 to 4 hexadecimal digits (9174 sends none)")
        ->default_val("9174");
    command->add_option("--lang", args.lang, "Language of the messages: en, zh-CN or zh-TW")
        ->default_val("en");
    command->add_flag("--json", args.json, "One JSON object per event on stdout");
    command->add_flag("--trace", args.traces, "Show every frame sent and the reply payloads");
}

void registerInfoCommand(CLI::App& app, CommandOutcome& outcome) {
    auto* command = app.add_subcommand(
        "info", "Show the header, page layout and upgrade profile of a firmware file");
    auto args = std::make_shared<InfoArgs>();
    command->add_option("FILE", args->file, "Firmware file (.TVB)")->required();
    command->footer(
        "Exit codes: 0 the upgrade would take the file, 2 bad usage, 3 file unreadable, "
        "4 file rejected, 6 the upgrade would refuse the file.");
    attachRunner(command, outcome, [args] { return runInfoCommand(*args); });
}

void registerPackCommand(CLI::App& app, CommandOutcome& outcome) {
    auto* command =
        app.add_subcommand("pack", "Build a firmware file from a plain body and header fields");
    auto o = std::make_shared<PackArgs>();
    command->add_option("--model", o->model, "Model code, hexadecimal 0000-FFFF (e.g. 8401)")
        ->required();
    command->add_option("--name", o->name, "Firmware name, 1-12 printable ASCII characters")
        ->required();
    command->add_option("--version", o->version, "Firmware version, 0-4 printable ASCII characters")
        ->required();
    command->add_option("BODY", o->body, "File with the plain firmware bytes")->required();
    command->add_option("OUT", o->out, "Firmware file to write (.TVB)")->required();
    command->footer(
        "Exit codes: 0 written, 2 bad usage or a body the upgrade would refuse, "
        "3 body unreadable, 5 OUT cannot be written.");
    attachRunner(command, outcome, [o] { return runPackCommand(*o); });
}

// The flags an upgrade and a fleet share.
template <typename Args>
void addUpgradeFlags(CLI::App* command, Args& args) {
    command->add_flag("--no-verify", args.noVerify, "Do not read the pages back and compare");
    command->add_flag("--skip-errors", args.skipErrors,
                      "Go on with the next page when a page's attempts are used up");
    command->add_flag("--no-v4", args.noWakeUpFrames, "Do not send the V4/V5/V6 wake-up frames");
    command->add_flag("--sn", args.serialNumberWakeUp, "Send the S/N wake-up block");
    command->add_flag("--check-after", args.checkAfter,
                      "After the start and its reboot wait, identify the device again (read "
                      "only, its loader is not woken) and say which version it reports; exit 19 "
                      "when it does not answer or still reports its old version");
}

void registerUpgradeCommand(CLI::App& app, CommandOutcome& outcome) {
    auto args = std::make_shared<UpgradeArgs>();
    CLI::App* command = app.add_subcommand(
        "upgrade", "Identify the device, write FILE into it, read it back and start it");
    command->add_option("FILE", args->file, "Firmware file (.TVB)")->required();
    addDeviceOptions(command, args->device);
    addUpgradeFlags(command, *args);
    CLI::Option* repeat = command->add_flag(
        "--repeat", args->repeat,
        "Device after device: after each ending wait for the next device on the link "
        "(another serial number, or the same one after it was away 10 s), until Ctrl-C");
    command->add_option("--count", args->count, "With --repeat: stop after N devices")
        ->check(CLI::PositiveNumber)
        ->needs(repeat);
    command->footer(
        "Exit codes: 0 Upgrade ok., 2 bad usage, 3 file unreadable, 4 file rejected, "
        "10 Open communication port error!, 11 Connect device error!, 12 Model or PIN error!, "
        "13 Firmware file type error! (device model differs), 14 Load firmware file error!, "
        "15 Program/Download error!, 16 Verify error!, 19 --check-after: the device did not answer "
        "after the start or still reports its old version, 20 --repeat: a device did not end "
        "Upgrade ok.");
    attachRunner(command, outcome, [args] { return runUpgradeCommand(*args); });
}

void registerServiceCommands(CLI::App& app, CommandOutcome& outcome) {
    auto query = std::make_shared<ServiceArgs>();
    CLI::App* q =
        app.add_subcommand("query", "Send one query to device address 1 and show the reply");
    q->add_option("WHAT", query->what, "sn (0x0001), id (0x0002) or ver (0x0003)")->required();
    addDeviceOptions(q, query->device, false);
    q->footer("Exit codes: 0 answered, 2 bad usage, 10 link not opened, 11 no reply.");
    attachRunner(q, outcome, [query] { return runQueryCommand(*query); });

    auto erase = std::make_shared<ServiceArgs>();
    CLI::App* e = app.add_subcommand(
        "erase", "Erase the blocks of a model 8401 device that FILE's image covers");
    e->add_option("FILE", erase->file, "Firmware file (.TVB) of model 8401")->required();
    addDeviceOptions(e, erase->device);
    e->footer(
        "Exit codes: 0 erased, 2 bad usage, 3 file unreadable, 4 file rejected, "
        "10 link not opened, 11 no answer, 12 PIN refused or not a model 8401 device, "
        "15 an erase request failed twice.");
    attachRunner(e, outcome, [erase] { return runEraseCommand(*erase); });

    auto readback = std::make_shared<ServiceArgs>();
    CLI::App* r = app.add_subcommand(
        "readback", "Read the first 90 pages of a model 8401 device into three files");
    addDeviceOptions(r, readback->device);
    r->add_option("--out", readback->out, "Folder for the files (default: the current folder)");
    r->footer(
        "Exit codes: 0 read, 2 bad usage, 5 cannot write the files, 10 link not opened, "
        "11 no answer, 12 PIN refused or not a model 8401 device, 17 read-back incomplete "
        "(the files are written; pages were not answered).");
    attachRunner(r, outcome, [readback] { return runReadbackCommand(*readback); });
}

void registerHistoryCommand(CLI::App& app, CommandOutcome& outcome) {
    auto args = std::make_shared<HistoryArgs>();
    auto* command = app.add_subcommand(
        "history", "List the recorded upgrade, erase and read-back runs, newest first");
    auto* json = command->add_flag("--json", args->json, "One JSON object per run");
    command->add_flag("--csv", args->csv, "Comma-separated values with a header line")
        ->excludes(json);
    command->add_option("--since", args->since,
                        "Only runs that started at or after DATE (2026-12-01) or an ISO 8601 time");
    command->add_option("--serial", args->serial, "Only runs on the device of this serial number");
    command->add_option("--id", args->id, "Only runs that addressed this device ID")
        ->check(CLI::Range(0, 9999));
    command->footer(
        "The history is history.jsonl beside the settings file. Exit codes: 0, 2 bad usage, "
        "3 the history cannot be read.");
    attachRunner(command, outcome, [args] { return runHistoryCommand(*args); });
}

void registerPortsCommand(CLI::App& app, CommandOutcome& outcome) {
    auto args = std::make_shared<PortsArgs>();
    CLI::App* command = app.add_subcommand(
        "ports", "List the serial ports of this system (name, path, description, maker, USB id)");
    command->add_flag("--json", args->json, "One JSON array of port objects on stdout");
    command->footer(
        "Columns: name, path, description, manufacturer, USB vendor:product, serial number "
        "(- where the system tells nothing). No ports is no error. Exit codes: 0, 2 bad usage.");
    attachRunner(command, outcome, [args] { return runPortsCommand(*args); });
}

void registerScanCommand(CLI::App& app, CommandOutcome& outcome) {
    auto args = std::make_shared<ScanArgs>();
    CLI::App* command = app.add_subcommand(
        "scan", "Find the devices on a link: ask every ID who it is, changing nothing");
    addDeviceOptions(command, args->device, false);
    command
        ->add_option("--ids", args->ids, "IDs to ask: ranges and lists such as 0-99 or 1,5,20-30")
        ->default_val("0-31");
    command
        ->add_option("--timeout-ms", args->timeoutMs,
                     "How long each request waits for its reply, in milliseconds")
        ->check(CLI::Range(1, 60000))
        ->default_val(300);
    command->footer(
        "Requests sent: binary 0x0001 and 0x0003, text AS1; all read-only.\n"
        "Exit codes: 0 the scan ran (even when nothing answered), 2 bad usage, "
        "10 Open communication port error!");
    attachRunner(command, outcome, [args] { return runScanCommand(*args); });
}

void registerFleetCommand(CLI::App& app, CommandOutcome& outcome) {
    auto args = std::make_shared<FleetArgs>();
    CLI::App* command = app.add_subcommand(
        "fleet", "Upgrade every device a CSV manifest names, devices on different links at once");
    command->add_option("MANIFEST", args->manifest, "The manifest (.csv)")->required();
    command->add_option("--file", args->file,
                        "Firmware file for the rows whose file column is empty");
    command->add_option("--jobs", args->jobs, "Devices upgraded at once, at most")
        ->check(CLI::Range(1, std::numeric_limits<int>::max()))
        ->default_val(8);
    command->add_option("--report", args->report,
                        "Report file (JSON; a .csv beside it), default fleet-report.json beside "
                        "the manifest");
    command->add_option("--resume", args->resume,
                        "Skip the rows this earlier report has ended ok with the same file, link "
                        "and ID (and read back, checked after the start, when this run does)");
    command->add_option("--logs", args->logs, "Keep each device's frame trace in DIR/row-N.log");
    addUpgradeFlags(command, *args);
    command->add_option("--lang", args->lang, "Language of the messages: en, zh-CN or zh-TW")
        ->default_val("en");
    command->add_flag("--json", args->json, "The upgrades' events, each with its \"row\"");
    // Taken only to be refused with a word on where links come from.
    for (const char* name : {"--net", "--com", "--mode", "--id", "--pin"}) {
        command
            ->add_option_function<std::string>(
                name, [args, name](const std::string&) { args->deviceOption = name; })
            ->group("");
    }
    command->footer(
        "Each row of the manifest names its device's link (net or com column), ID and PIN.\n"
        "Exit codes: 0 every device ended Upgrade ok., 2 bad usage, bad manifest, or a report "
        "or log that would be one of the run's own files, 3 resume report unreadable, "
        "5 the report or the log folder cannot be written (or another run holds the report), "
        "20 at least one device did not end Upgrade ok. (with --check-after: or its check "
        "after the start failed, that row's exit 19).");
    attachRunner(command, outcome, [args] { return runFleetCommand(*args); });
}

// "Exit codes (cli/EXIT_CODES.md):" and a line "  10 ..." for each code.
std::string exitCodesFooter() {
    std::string footer = "Exit codes (cli/EXIT_CODES.md):";
    for (const ExitCodeMeaning& meaning : kExitCodes) {
        std::string code = std::to_string(exitStatus(meaning.code));
        code.resize(2, ' ');
        footer += "\n  " + code + " " + meaning.description;
    }
    return footer;
}

// The program with its version flag, its exit codes as the footer of --help,
// and the commands in the order --help lists them.
void registerProgram(CLI::App& app, CommandOutcome& outcome) {
    app.set_version_flag("-V,--version", std::string(kProgramName) + " " FLASHMERE_VERSION,
                         "Print the program's version and exit");
    app.require_subcommand(1);
    app.footer(exitCodesFooter());
    registerInfoCommand(app, outcome);
    registerPackCommand(app, outcome);
    registerUpgradeCommand(app, outcome);
    registerServiceCommands(app, outcome);
    registerPortsCommand(app, outcome);
    registerScanCommand(app, outcome);
    registerFleetCommand(app, outcome);
    registerHistoryCommand(app, outcome);
}

// "info, pack, ...": the commands registered on app, in their order.
std::string commandList(const CLI::App& app) {
    std::string list;
    for (const CLI::App* command : app.get_subcommands({})) {
        list += (list.empty() ? "" : ", ") + command->get_name();
    }
    return list;
}

// "unknown command 'X'" or "unknown option '-X'" when the first argument
// names neither a command nor an option of the program itself.
std::optional<std::string> unknownFirstArgument(const CLI::App& app, int argc, char** argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    const std::string first = argv[1];
    if (!first.empty() && first[0] == '-') {
        const std::string name = first.substr(0, first.find('='));
        if (app.get_option_no_throw(name) != nullptr) {
            return std::nullopt;
        }
        return "unknown option '" + first + "'";
    }
    for (const CLI::App* command : app.get_subcommands({})) {
        if (command->check_name(first)) {
            return std::nullopt;
        }
    }
    return "unknown command '" + first + "'";
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    CLI::App app{"Flashmere: firmware files and upgrades of field devices", kProgramName};
    CommandOutcome outcome;
    registerProgram(app, outcome);
    if (const auto unknown = unknownFirstArgument(app, argc, argv)) {
        return fail(ExitCode::Usage, *unknown + "; the commands are " + commandList(app));
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e);  // --help, --version
        }
        // An error before any command was named: say which commands exist.
        const std::string commands =
            app.get_subcommands().empty() ? "; the commands are " + commandList(app) : "";
        return fail(ExitCode::Usage,
                    std::string(e.what()) + commands + " (see " + kProgramName + " --help)");
    } catch (const std::exception& e) {
        return fail(ExitCode::Internal, e.what());
    }
    return outcome.exitCode;
}

}  // namespace flashmere::cli
