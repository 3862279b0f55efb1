#include "upgrade/upgrade_run.h"

#include <algorithm>
#include <cstdio>

#include "device/device_protocol.h"
#include "device/identification.h"
#include "device/model_tables.h"
#include "link/link_channel.h"
#include "upgrade/timed_panel.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

// The reason of a failed stage, with the next step once the device's program
// was touched: the device then waits in its boot loader for another upgrade.
std::string withNextStep(const DeviceSession& s, const std::string& reason) {
    return s.programTouched ? reason + ". " + s.panel.bootLoaderAdvice() : reason;
}

void programmingFailed(DeviceSession& s, const std::string& reason) {
    s.link.closeLink();
    s.show(MessageRow::msgProgramError, withNextStep(s, reason));
    s.failureSignal();
}

void verificationFailed(DeviceSession& s, const std::string& reason) {
    s.show(MessageRow::msgVerifyError, withNextStep(s, reason));
    s.failureSignal();
    s.link.closeLink();
}

// Without Verify nothing read the pages back: the success says so.
constexpr const char* kNotVerified = "not verified: Verify was off, the pages were not read back";

// note: what the start of the program left open (a reboot wait cut short).
void upgradeSucceeded(DeviceSession& s, const std::string& note) {
    std::string reason = s.options.verify ? std::string() : kNotVerified;
    if (!note.empty()) {
        reason += (reason.empty() ? "" : "; ") + note;
    }
    if (reason.empty()) {
        s.show(MessageRow::msgUpgradeOk);
    } else {
        s.show(MessageRow::msgUpgradeOk, reason);
    }
    s.successSignal();
    s.link.closeLink();
}

void programmingDone(DeviceSession& s) {
    s.show(MessageRow::msgProgramOk);
    s.panel.setBusyIndicator(false);
    s.panel.setLamp(LampColour::Yellow);
    s.panel.tone(1000, 100);
}

MessageRow runStages(DeviceSession& s) {
    const bool textPath = isTextFamily(s.image.modelCode);
    s.show(MessageRow::msgProgramming);
    s.panel.setBusyIndicator(true);
    if (textPath) {
        s.pause(20);
    } else {
        // Wake the loader; each profile sends its own hello afterwards.
        for (int attempt = 0; attempt < 5 && !s.link.lost(); ++attempt) {
            if (s.exchange(kHelloCommand)) {
                break;
            }
            s.pause(50);
        }
        s.pause(50);
    }
    const StageResult programmed = textPath ? programPagesText(s) : programPagesBinary(s);
    if (!programmed.ok) {
        programmingFailed(s, programmed.reason);
        return s.lastMessage();
    }
    // Without a read-back nothing vouches for a page the device never
    // acknowledged: the device is not started on an incomplete program.
    if (!s.options.verify && !programmed.passedOver.empty()) {
        programmingFailed(s, describePages(programmed.passedOver) +
                                 (programmed.passedOver.size() == 1 ? " was" : " were") +
                                 " never acknowledged; the device was not started");
        return s.lastMessage();
    }
    programmingDone(s);

    if (s.options.verify) {
        s.show(MessageRow::msgVerifying);
        s.pause(100);
        const StageResult verified = textPath ? verifyPagesText(s) : verifyPagesBinary(s);
        if (!verified.ok) {
            verificationFailed(s, verified.reason);
            return s.lastMessage();
        }
        if (!verified.passedOver.empty()) {
            verificationFailed(s, describePages(verified.passedOver) + " could not be read back; " +
                                      "the device was not started");
            return s.lastMessage();
        }
        s.show(MessageRow::msgVerifyOk);
        s.pause(50);
    }

    s.show(MessageRow::msgUpgrading);
    std::string startNote;
    if (textPath) {
        startProgramText(s);
    } else {
        startNote = startProgramBinary(s);
        s.pause(100);
    }
    upgradeSucceeded(s, startNote);
    return s.lastMessage();
}

}  // namespace

RunOutcome upgradeDevice(DeviceRunContext& context) {
    const OperatorOptions options = context.panel.captureOptions();
    TimedPanel panel(context.panel, context.clock,
                     knownPausesFor(context.image.modelCode, options.verify), options.verify);
    LinkChannel link(context.transports, context.clock, panel);
    DeviceSession session(panel, link, context.clock, context.image, options);
    session.preloaded = context.preloaded;
    if (context.askOtherFamily) {
        session.askOtherFamily = [&context, options](std::uint16_t id) {
            return context.askOtherFamily(options, id);
        };
    }

    panel.setBusyIndicator(true);
    for (ErrorCounter c : {ErrorCounter::Erase, ErrorCounter::Program, ErrorCounter::Verify}) {
        session.setCounter(c, 0);
    }
    for (DeviceField p : {DeviceField::Model, DeviceField::Name, DeviceField::FirmwareVersion,
                          DeviceField::LoaderVersion, DeviceField::Id, DeviceField::SerialNumber}) {
        panel.showDeviceField(p, "");
    }
    panel.setProgramPosition(0);
    panel.setVerifyPosition(0);

    if (!connectAndIdentify(session)) {
        return {upgradeEndingOf(session.lastMessage()), session.lastMessage(), session.lastReason(),
                false};
    }
    const MessageRow message = runStages(session);
    link.closeLink();
    // Verification ends the run unless every page read back equal.
    return {upgradeEndingOf(message), message, session.lastReason(),
            message == MessageRow::msgUpgradeOk && options.verify};
}

RunEnding upgradeEndingOf(MessageRow message) {
    switch (message) {
        case MessageRow::msgUpgradeOk:
            return RunEnding::Done;
        case MessageRow::msgOpenPortError:
            return RunEnding::LinkNotOpened;
        case MessageRow::msgConnectError:
            return RunEnding::NoAnswer;
        case MessageRow::msgModelOrPinError:
            return RunEnding::DeviceRefused;
        case MessageRow::msgFileTypeError:
            return RunEnding::FileRejected;
        case MessageRow::msgLoadFileError:
            return RunEnding::FileUnreadable;
        case MessageRow::msgProgramError:
            return RunEnding::ProgramFailed;
        case MessageRow::msgVerifyError:
            return RunEnding::VerifyFailed;
        default:
            return RunEnding::Other;
    }
}

}  // namespace flashmere
