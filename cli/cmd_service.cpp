#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "console_panel.h"
#include "device_links.h"
#include "device_options.h"
#include "firmware/file_path.h"
#include "frontend/exit_codes.h"
#include "frontend/message_table.h"
#include "frontend/stoppable_transports.h"
#include "history_hook.h"
#include "link/clock.h"
#include "link/crc.h"
#include "service/service_functions.h"
#include "stoppable_run.h"

namespace flashmere::cli {
namespace {

// The console of one service command: its panel (and the history's in
// front of it), its style, and the stop that the signals request.
struct ServiceConsole {
    ConsolePanel& panel;
    OperatorPanel& recorded;
    ConsolePanel::Style style;
    const StopRequest& stop;
    // How the function ended, its reason as reported; the history's record.
    RunOutcome* outcome;
};

// Runs one service function with the console as its window: the stages and
// bars under the service's own names, on a worker thread that a stop signal
// stops at its next exchange. A command that prints its own trace (query)
// keeps the console from printing it a second time. An operation named is
// recorded in the history, with the image when it has one.
template <typename Work>
int withService(const DeviceArgs& device, bool ownTrace, Work work, const char* operation = nullptr,
                const FirmwareImage* image = nullptr) {
    std::string error;
    auto resolved = resolveDeviceOptions(device, error);
    if (!resolved) {
        return fail(ExitCode::Usage, error);
    }
    ensureQtApplication();
    const ConsolePanel::Style style = consoleStyleFor(device, resolved->languageIndex);
    ConsolePanel::Style panelStyle = style;
    panelStyle.traces = style.traces && !(ownTrace && !style.json);
    ConsolePanel panel(resolved->options, panelStyle);
    panel.nameBars("erase", "read");
    const auto stop = std::make_shared<StopRequest>();
    panel.stopWaitsWhen(stop);
    RecordedRun recorded =
        recordedRun(panel, "cli", operation ? operation : "", linkAsGiven(device));
    recorded.noteImage(image);
    recorded.recorder().noteOptions(resolved->options);
    RunOutcome outcome;
    const ServiceConsole console{panel, recorded.panel(), style, *stop, &outcome};
    int code = 0;
    runStoppable(*stop, [&] {
        StoppableTransports transports(deviceLinks().transports(), stop);
        ServiceContext context{recorded.panel(), transports, deviceLinks().clock(),
                               resolved->options};
        code = work(context, console);
    });
    if (operation != nullptr) {
        recordRun(recorded, image, outcome, code);
    }
    return code;
}

// Prints the outcome as the last line (or the last JSON object) and gives
// back its exit code; 0 is success. The JSON result carries the reason the
// last message was given with, and extraFields (",\"name\":value...").
int reportWithReason(const ConsolePanel::Style& style, int code, const std::string& text,
                     const std::string& reason, const std::string& extraFields = {}) {
    if (style.json) {
        const std::string reasonField = reason.empty() ? "" : ",\"reason\":" + jsonString(reason);
        std::printf("{\"event\":\"result\",\"ok\":%s,\"text\":%s%s%s,\"exit\":%d}\n",
                    code == 0 ? "true" : "false", jsonString(text).c_str(), reasonField.c_str(),
                    extraFields.c_str(), code);
    } else {
        std::printf("%s\n", consoleText(text).c_str());
    }
    std::fflush(stdout);
    return code;
}

// A run that failed after a stop was requested ends as stopped, its reason
// naming the stop.
int report(const ServiceConsole& c, ExitCode exitCode, const std::string& text,
           const std::string& extraFields = {}) {
    int code = exitStatus(exitCode);
    std::string& reason = c.outcome->reason;
    if (c.stop.requested()) {
        code = exitCodeOfRun(code, true);
        if (std::string stopped = reasonOfStoppedRun(c.stop, reason); stopped != reason) {
            reason = std::move(stopped);
            c.recorded.showMessageReason(reason);
        }
    }
    return reportWithReason(c.style, code, text, reason, extraFields);
}

// The ends of an erase or a read-back that did nothing to the device; the
// message and its reason have been shown.
std::optional<int> notReached(const ServiceConsole& c, const RunOutcome& outcome) {
    *c.outcome = outcome;
    switch (outcome.ending) {
        case RunEnding::LinkNotOpened:
            return report(c, ExitCode::LinkNotOpened, "cannot open the link to the device");
        case RunEnding::NoAnswer:
            return report(c, ExitCode::NoAnswer, "the device did not answer");
        case RunEnding::DeviceRefused:
            return report(
                c, ExitCode::DeviceRefused,
                "the device refused the PIN or is not of model " + modelHex(kServiceModel));
        case RunEnding::FileRejected:
            return report(c, ExitCode::ModelDiffers,
                          "only model " + modelHex(kServiceModel) + " is served");
        default:
            return std::nullopt;
    }
}

// ",\"unanswered\":[3,7]"
std::string unansweredField(const std::vector<int>& pages) {
    std::string list;
    for (int page : pages) {
        list += (list.empty() ? "" : ",") + std::to_string(page);
    }
    return ",\"unanswered\":[" + list + "]";
}

}  // namespace

int runQueryCommand(const ServiceArgs& args) {
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
    return withService(args.device, true, [&](ServiceContext& context, const ServiceConsole& c) {
        const QueryResult result = runDeviceQuery(context, query);
        if (!result.failure.empty()) {
            context.panel.showMessageReason(result.failure);
            c.outcome->reason = result.failure;
        }
        if (!result.linkOpened) {
            return report(c, ExitCode::LinkNotOpened, "cannot open the link to the device");
        }
        const std::string tx = hexTrace(result.request);
        const std::string rx = hexTrace(result.replyPayload);
        if (c.style.json) {
            std::printf(
                "{\"event\":\"query\",\"request\":%s,\"sent\":%s,\"answered\":%s,"
                "\"reply\":%s}\n",
                jsonString(tx).c_str(), result.sent ? "true" : "false",
                result.answered ? "true" : "false", jsonString(rx).c_str());
        } else {
            std::printf("TX: %s%s\nRX: %s\n", tx.c_str(), result.sent ? "" : "(not sent)",
                        result.answered ? rx.c_str() : "(no reply)");
        }
        return result.answered ? report(c, ExitCode::Ok, "reply received")
                               : report(c, ExitCode::NoAnswer, "no reply");
    });
}

int runEraseCommand(const ServiceArgs& args) {
    FirmwareImage image;
    std::string cause;
    if (const int code = chooseFirmwareFile(args.file, image, &cause); code != 0) {
        // A script reading --json gets its result object for every file failure too.
        return args.device.json
                   ? reportWithReason(consoleStyleFor(args.device, 0), code, cause, cause)
                   : code;
    }
    if (image.modelCode != kServiceModel) {
        return fail(ExitCode::Usage, "erase serves model 8401 only; " + oneLine(args.file) +
                                         " is for model " + modelHex(image.modelCode));
    }
    if (const ImageLoad load = loadFirmwareImage(image); !load.ok()) {
        cause = oneLine(args.file) + ": " + textOf(MessageRow::msgLoadFileError, 0) + " " +
                describeImageLoad(load, image.modelCode);
        const int code = fail(ExitCode::FileUnreadable, cause);
        return args.device.json
                   ? reportWithReason(consoleStyleFor(args.device, 0), code, cause, cause)
                   : code;
    }
    return withService(
        args.device, false,
        [&](ServiceContext& context, const ServiceConsole& c) {
            c.panel.nameStage(MessageRow::msgProgramming, "Erasing");
            c.panel.showProgramBarAsPercent();
            const EraseResult result = eraseDeviceBlocks(context, image);
            if (const auto code = notReached(c, result.outcome)) {
                return *code;
            }
            const std::string blocks = std::to_string(result.blocksErased) + " blocks";
            return result.outcome.ok()
                       ? report(c, ExitCode::Ok, "erased " + blocks)
                       : report(c, ExitCode::ProgramFailed, "erase failed after " + blocks);
        },
        "erase", &image);
}

int runReadbackCommand(const ServiceArgs& args) {
    std::error_code ec;
    const std::filesystem::path out = pathFromUtf8(args.out);
    if (!std::filesystem::is_directory(out, ec)) {
        const bool missing = std::filesystem::symlink_status(out, ec).type() ==
                             std::filesystem::file_type::not_found;
        return fail(ExitCode::CannotWrite,
                    "--out " + oneLine(args.out) +
                        (missing ? ": no such folder; create it first, nothing was read"
                                 : " is not a folder"));
    }
    return withService(
        args.device, false,
        [&](ServiceContext& context, const ServiceConsole& c) {
            c.panel.nameStage(MessageRow::msgProgramming, "Reading");
            const ReadBackResult result = readBackDevice(context, kServiceModel, args.out);
            if (const auto code = notReached(c, result.outcome)) {
                return *code;
            }
            if (result.outcome.ending == RunEnding::FileNotWritten) {
                return report(c, ExitCode::CannotWrite, result.error);
            }
            const auto where = pathFromUtf8(args.out);
            const ExitCode code =
                result.unansweredPages.empty() ? ExitCode::Ok : ExitCode::ReadBackIncomplete;
            return report(c, code,
                          "read " + std::to_string(result.pagesRead) + " pages (" +
                              std::to_string(result.unansweredPages.size()) + " unanswered) into " +
                              utf8FromPath(where / kReadBackDump) + ", " +
                              utf8FromPath(where / kReadBackLines) + ", " +
                              utf8FromPath(where / kReadBackPages),
                          unansweredField(result.unansweredPages));
        },
        "readback");
}

}  // namespace flashmere::cli
