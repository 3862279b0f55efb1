#include "upgrade/upgrade_run.h"

#include <algorithm>
#include <cstdio>

#include "device/device_protocol.h"
#include "device/identification.h"
#include "device/model_tables.h"
#include "link/link_channel.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

void programmingFailed(DeviceSession& s, const std::string& reason) {
    s.link.closeLink();
    s.show(MessageRow::msgProgramError, reason);
    s.failureSignal();
}

void verificationFailed(DeviceSession& s, const std::string& reason) {
    s.show(MessageRow::msgVerifyError, reason);
    s.failureSignal();
    s.link.closeLink();
}

// Without Verify nothing read the pages back: the success says so.
constexpr const char* kNotVerified = "not verified: Verify was off, the pages were not read back";

void upgradeSucceeded(DeviceSession& s) {
    if (s.options.verify) {
        s.show(MessageRow::msgUpgradeOk);
    } else {
        s.show(MessageRow::msgUpgradeOk, kNotVerified);
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
    if (textPath) {
        startProgramText(s);
    } else {
        startProgramBinary(s);
        s.pause(100);
    }
    upgradeSucceeded(s);
    return s.lastMessage();
}

}  // namespace

UpgradeResult upgradeDevice(DeviceRunContext& context) {
    OperatorPanel& panel = context.panel;
    const OperatorOptions options = panel.captureOptions();
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
        return {session.lastMessage(), false};
    }
    const MessageRow outcome = runStages(session);
    link.closeLink();
    // Verification ends the run unless every page read back equal.
    return {outcome, outcome == MessageRow::msgUpgradeOk && options.verify};
}

MessageRow runUpgrade(DeviceRunContext& context) {
    return upgradeDevice(context).message;
}

}  // namespace flashmere
