#include <filesystem>
#include <memory>
#include <optional>

#include "commands.h"
#include "console_panel.h"
#include "device_options.h"
#include "link/clock.h"
#include "link/crc.h"
#include "link/qt_transport_factory.h"
#include "service/service_functions.h"
#include "shell/message_table.h"

namespace flashmere::cli {
namespace {

struct ServiceArgs {
    std::string what;  // query: sn, id or ver
    std::string file;  // erase
    std::string out = ".";
    DeviceArgs device;
};

// Runs one service function with the console as its window.
template <typename Work>
int withService(const DeviceArgs& device, Work work) {
    std::string error;
    auto resolved = resolveDeviceOptions(device, error);
    if (!resolved) {
        return fail(ExitCode::Usage, error);
    }
    ensureQtApplication();
    const ConsolePanel::Style style = consoleStyleFor(device, resolved->languageIndex);
    ConsolePanel panel(resolved->options, style);
    QtTransportFactory transports;
    ServiceContext context{panel, transports, systemClock(), resolved->options};
    return work(context, style);
}

// Prints the outcome as the last line (or the last JSON object) and gives
// back its exit code; 0 is success.
int report(const ConsolePanel::Style& style, int code, const std::string& text) {
    if (style.json) {
        std::printf("{\"event\":\"result\",\"ok\":%s,\"text\":%s,\"exit\":%d}\n",
                    code == 0 ? "true" : "false", jsonString(text).c_str(), code);
    } else {
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
    return code;
}

// The two ends of a service function that never reached the device.
std::optional<int> notReached(const ConsolePanel::Style& style, ServiceOutcome outcome) {
    if (outcome == ServiceOutcome::LinkNotOpened) {
        return report(style, 10, "cannot open the link to the device");
    }
    if (outcome == ServiceOutcome::NotServed) {
        return report(style, 11, "the device did not answer");
    }
    return std::nullopt;
}

int runQuery(const ServiceArgs& args) {
    DeviceQuery query;
    if (args.what == "sn") {
        query = DeviceQuery::SerialNumber;
    } else if (args.what == "id") {
        query = DeviceQuery::Id;
    } else if (args.what == "ver") {
        query = DeviceQuery::Version;
    } else {
        return fail(ExitCode::Usage,
                    "query takes sn, id or ver, not \"" + oneLine(args.what) + "\"");
    }
    return withService(args.device, [&](ServiceContext& context, const ConsolePanel::Style& style) {
        const QueryResult result = runDeviceQuery(context, query);
        if (!result.linkOpened) {
            return *notReached(style, ServiceOutcome::LinkNotOpened);
        }
        const std::string tx = hexTrace(result.request);
        const std::string rx = hexTrace(result.replyPayload);
        if (style.json) {
            std::printf("{\"event\":\"query\",\"request\":%s,\"answered\":%s,\"reply\":%s}\n",
                        jsonString(tx).c_str(), result.answered ? "true" : "false",
                        jsonString(rx).c_str());
        } else {
            std::printf("TX: %s\nRX: %s\n", tx.c_str(),
                        result.answered ? rx.c_str() : "(no reply)");
        }
        return result.answered ? report(style, 0, "reply received") : report(style, 11, "no reply");
    });
}

int runErase(const ServiceArgs& args) {
    FirmwareImage image;
    if (const int code = chooseFirmwareFile(args.file, image); code != 0) {
        return code;
    }
    if (image.modelCode != 0x8401) {
        return fail(ExitCode::Usage, "erase serves model 8401 only; " + oneLine(args.file) +
                                         " is for model " + modelHex(image.modelCode));
    }
    if (const ImageLoad load = loadFirmwareImage(image); !load.ok()) {
        return fail(ExitCode::FileUnreadable, oneLine(args.file) + ": " +
                                                  textOf(MessageRow::msgLoadFileError, 0) + " " +
                                                  describeImageLoad(load, image.modelCode));
    }
    return withService(args.device, [&](ServiceContext& context, const ConsolePanel::Style& style) {
        const EraseResult result = eraseDeviceBlocks(context, image);
        if (const auto code = notReached(style, result.outcome)) {
            return *code;
        }
        const std::string blocks = std::to_string(result.blocksErased) + " blocks";
        return result.outcome == ServiceOutcome::Done
                   ? report(style, 0, "erased " + blocks)
                   : report(style, 15, "erase failed after " + blocks);
    });
}

int runReadback(const ServiceArgs& args) {
    std::error_code ec;
    if (!std::filesystem::is_directory(args.out, ec)) {
        return fail(ExitCode::CannotWrite, "--out " + oneLine(args.out) + " is not a folder");
    }
    return withService(args.device, [&](ServiceContext& context, const ConsolePanel::Style& style) {
        const ReadBackResult result = readBackDevice(context, 0x8401, args.out);
        if (const auto code = notReached(style, result.outcome)) {
            return *code;
        }
        if (result.outcome == ServiceOutcome::FileError) {
            std::fprintf(stderr, "flashmere-cli: %s\n", oneLine(result.error).c_str());
            return report(style, static_cast<int>(ExitCode::CannotWrite), result.error);
        }
        const auto where = std::filesystem::path(args.out);
        return report(style, 0,
                      "read " + std::to_string(result.pagesRead) + " pages (" +
                          std::to_string(result.pagesFailed) + " unanswered) into " +
                          (where / kReadBackDump).string() + ", " +
                          (where / kReadBackLines).string() + ", " +
                          (where / kReadBackPages).string());
    });
}

}  // namespace

void registerServiceCommands(CLI::App& app, CommandOutcome& outcome) {
    auto query = std::make_shared<ServiceArgs>();
    CLI::App* q =
        app.add_subcommand("query", "Send one query to device address 1 and show the reply");
    q->add_option("WHAT", query->what, "sn (0x0001), id (0x0002) or ver (0x0003)")->required();
    addDeviceOptions(q, query->device, false);
    q->footer("Exit codes: 0 answered, 2 bad usage, 10 link not opened, 11 no reply.");
    attachRunner(q, outcome, [query] { return runQuery(*query); });

    auto erase = std::make_shared<ServiceArgs>();
    CLI::App* e = app.add_subcommand(
        "erase", "Erase the blocks of a model 8401 device that FILE's image covers");
    e->add_option("FILE", erase->file, "Firmware file (.TVB) of model 8401")->required();
    addDeviceOptions(e, erase->device);
    e->footer(
        "Exit codes: 0 erased, 2 bad usage, 3 file unreadable, 4 file rejected, "
        "10 link not opened, 11 no answer, 15 an erase request failed twice.");
    attachRunner(e, outcome, [erase] { return runErase(*erase); });

    auto readback = std::make_shared<ServiceArgs>();
    CLI::App* r = app.add_subcommand(
        "readback", "Read the first 90 pages of a model 8401 device into three files");
    addDeviceOptions(r, readback->device);
    r->add_option("--out", readback->out, "Folder for the files (default: the current folder)");
    r->footer(
        "Exit codes: 0 read, 2 bad usage, 5 cannot write the files, 10 link not opened, "
        "11 no answer.");
    attachRunner(r, outcome, [readback] { return runReadback(*readback); });
}

}  // namespace flashmere::cli
