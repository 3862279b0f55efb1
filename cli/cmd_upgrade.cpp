#include <cstdio>
#include <optional>

#include "commands.h"
#include "console_panel.h"
#include "device_links.h"
#include "device_options.h"
#include "frontend/after_start_report.h"
#include "frontend/exit_codes.h"
#include "frontend/message_table.h"
#include "frontend/stoppable_transports.h"
#include "frontend/window_texts.h"
#include "history_hook.h"
#include "service/other_family.h"
#include "stoppable_run.h"
#include "upgrade/upgrade_run.h"
#include "upgrade_unit.h"

namespace flashmere::cli {
namespace {

// The last JSON object of a run: its outcome, the message row when there is
// one, the reason beside it, and whether the pages were read back equal.
// check: the check after the start, when it was made ("version_after": the
// version the device reported, null when it did not answer).
void printJsonResult(int code, std::optional<MessageRow> row, const std::string& text,
                     const std::string& reason, bool verified = false,
                     const std::optional<AfterStartCheck>& check = std::nullopt) {
    const std::string rowField =
        row ? ",\"row\":" + std::to_string(static_cast<int>(*row)) : std::string();
    const std::string reasonField = reason.empty() ? "" : ",\"reason\":" + jsonString(reason);
    const std::string checkField =
        !check ? std::string()
               : ",\"version_after\":" + (check->answered ? jsonString(check->version) : "null");
    std::printf("{\"event\":\"result\",\"ok\":%s%s,\"text\":%s%s,\"verified\":%s%s,\"exit\":%d}\n",
                code == 0 ? "true" : "false", rowField.c_str(), jsonString(text).c_str(),
                reasonField.c_str(), verified ? "true" : "false", checkField.c_str(), code);
    std::fflush(stdout);
}

}  // namespace

int runUpgradeCommand(const UpgradeArgs& args) {
    std::string error;
    auto resolved = resolveDeviceOptions(args.device, error);
    if (!resolved) {
        return fail(ExitCode::Usage, error);
    }
    OperatorOptions options = resolved->options;
    options.verify = !args.noVerify;
    options.skipError = args.skipErrors;
    options.wakeUpFrames = !args.noWakeUpFrames;
    options.serialNumberWakeUp = args.serialNumberWakeUp;
    options.checkAfterStart = args.checkAfter;

    FirmwareImage image;
    std::string cause;
    if (const int code = chooseFirmwareFile(args.file, image, &cause); code != 0) {
        if (args.device.json) {
            const auto row = code == exitStatus(ExitCode::FileRejected)
                                 ? std::optional(MessageRow::msgFileTypeError)
                                 : std::nullopt;
            printJsonResult(code, row, row ? textOf(*row, resolved->languageIndex) : cause,
                            row ? cause : std::string());
        }
        return code;
    }

    ensureQtApplication();
    if (args.repeat) {
        return repeatUpgrades(args, options, resolved->languageIndex, image);
    }
    std::string serial;
    return upgradeOneUnit(args, options, resolved->languageIndex, image, serial);
}

int upgradeOneUnit(const UpgradeArgs& args, const OperatorOptions& options, int languageIndex,
                   FirmwareImage& image, std::string& serial) {
    const ConsolePanel::Style style = consoleStyleFor(args.device, languageIndex);
    ConsolePanel panel(options, style);
    const auto stop = std::make_shared<StopRequest>();
    panel.stopWaitsWhen(stop);
    RecordedRun recorded = recordedRun(panel, "cli", "upgrade", linkAsGiven(args.device));
    recorded.noteImage(&image);
    RunOutcome result;
    std::optional<AfterStartCheck> check;
    runStoppable(*stop, [&] {
        Clock& clock = deviceLinks().clock();
        StoppableTransports transports(deviceLinks().transports(), stop);
        DeviceRunContext context{recorded.panel(), transports, clock, image};
        context.askOtherFamily = [&](const OperatorOptions& asked, std::uint16_t id) {
            return askOtherFamily(transports, clock, panel, asked, id, image.modelCode);
        };
        result = upgradeDevice(context);
        check = checkAfterUpgrade(recorded, transports, clock, options, image, result,
                                  stop->requested());
    });
    int code = exitCodeOfRun(exitStatus(exitCodeOf(result.ending)), stop->requested());
    if (check) {
        code = tellAfterStartCheck(recorded, *check, result, code);
    }
    if (stop->requested()) {
        if (std::string stopped = reasonOfStoppedRun(*stop, result.reason);
            stopped != result.reason) {
            result.reason = std::move(stopped);
            recorded.panel().showMessageReason(result.reason);
        }
    }
    recordRun(recorded, &image, result, code);
    if (check && !check->passed && !style.json) {
        // "Upgrade ok." was the stage's last line, not the run's.
        std::printf("%s\n", textOf(WindowText::CheckAfterStartFailed, style.languageIndex).c_str());
        std::fflush(stdout);
    }
    if (style.json) {
        printJsonResult(code, result.message, textOf(result.message, style.languageIndex),
                        result.reason, result.verified, check);
    }
    serial = panel.deviceSerial();
    return code;
}

}  // namespace flashmere::cli
