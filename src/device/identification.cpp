#include "device/identification.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>

#include "device/device_protocol.h"
#include "device/link_failure.h"
#include "device/model_tables.h"
#include "device/request_retries.h"

namespace flashmere {
namespace {

constexpr std::array<std::uint8_t, 7> kResetFrame = {0x00, 0xB6, 0x03, 0x5E, 0x71, 0x2C, 0x4A};

// Attempts 100 ms apart that go on while the device is silent, to wake it.
RetryPolicy wakeAttempts(int attempts) {
    return {.attempts = attempts, .pauseBeforeMs = 100, .onLostLink = OnLostLink::KeepTrying};
}

std::string hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void fillPanel(DeviceSession& s, DeviceField panel, const std::string& text) {
    s.panel.showDeviceField(panel, text);
}

// A connected link on which no byte came back: the device may speak the
// other protocol family (a file for another model). Asked once, on a link of
// its own, after this one is closed.
void explainSilence(DeviceSession& s, MessageRow& message, std::string& reason) {
    const bool silent =
        message == MessageRow::msgConnectError && s.link.connected() && s.link.bytesReceived() == 0;
    if (!silent || !s.askOtherFamily) {
        return;
    }
    s.link.closeLink();
    const auto answer = s.askOtherFamily(s.deviceAddress());
    if (!answer) {
        return;
    }
    if (answer->otherModel) {
        message = MessageRow::msgFileTypeError;
        s.panel.noteAnsweringDevice(answer->model, answer->serial);
    }
    reason = answer->note;
}

// Ends a failed identification: link closed, message, red lamp, low tone.
// A link the system reported lost is a connection failure, whatever the
// replies that did not come would have suggested; a link that never opened
// or a device that never answered gets what to check, or what answered in
// the other protocol family.
bool fail(DeviceSession& s, MessageRow message, std::string reason = {}) {
    if (s.link.lost()) {
        message = MessageRow::msgConnectError;
        reason = "the link was lost during identification (" + s.link.lossNote() + ")";
    } else if (reason.empty()) {
        reason = linkFailureReason(s, message);
        explainSilence(s, message, reason);
    }
    s.link.closeLink();
    if (reason.empty()) {
        s.show(message);
    } else {
        s.show(message, reason);
    }
    s.failureSignal();
    return false;
}

std::string modelDiffers(std::uint16_t deviceModel, std::uint16_t fileModel) {
    char text[80];
    std::snprintf(text, sizeof text, "the device's model 0x%04X differs from the file's 0x%04X",
                  unsigned{deviceModel}, unsigned{fileModel});
    return text;
}

// Ends a successful identification and loads the page image; a file the
// load refuses ends the run with its reason before anything is erased.
bool succeed(DeviceSession& s) {
    s.show(MessageRow::msgConnectOk);
    s.panel.setBusyIndicator(false);
    s.panel.setLamp(LampColour::Yellow);
    const ImageLoad load = s.preloaded != nullptr ? *s.preloaded : loadFirmwareImage(s.image);
    const std::string loadNote = describeImageLoad(load, s.image.modelCode);
    if (!load.ok()) {
        s.link.closeLink();
        s.show(MessageRow::msgLoadFileError, loadNote);
        s.failureSignal();
        return false;
    }
    if (!loadNote.empty()) {
        // Blank bytes past the page limit were left out: said beside the
        // message, the run goes on.
        s.panel.showMessageReason(loadNote);
    }
    s.panel.tone(1000, 300);
    return true;
}

bool identifyTextFamily(DeviceSession& s) {
    const std::uint16_t model = s.image.modelCode;
    if (!s.link.openLink()) {
        return fail(s, MessageRow::msgOpenPortError);
    }
    s.pause(50);
    if (!sendWithRetries(s, wakeAttempts(10),
                         [&] { return s.exchangeText(addressPrefix(s.deviceAddress()) + "AS"); })) {
        return fail(s, MessageRow::msgConnectError);
    }
    s.panel.storeLinkSettings(s.options.linkKind, s.options.link);
    s.pause(200);
    s.pause(100);

    const ReplyFrame& reply = s.link.reply;
    const bool answered =
        s.exchangeText(addressPrefix(s.deviceAddress()) + "AS1") && reply.payloadLength == 28;
    if (answered && replyText(reply, 0, 4) == hexWord(model)) {
        fillPanel(s, DeviceField::Model, replyText(reply, 0, 4));
        fillPanel(s, DeviceField::Name, replyText(reply, 12, 12));
        fillPanel(s, DeviceField::FirmwareVersion, replyText(reply, 24, 4));
        fillPanel(s, DeviceField::LoaderVersion, "");
        fillPanel(s, DeviceField::Id, fourDigits(reply.address));
        s.moveDeviceAddress(reply.address);
        fillPanel(s, DeviceField::SerialNumber, replyText(reply, 4, 8));
        return succeed(s);
    }
    if (answered) {
        s.panel.noteAnsweringDevice(replyText(reply, 0, 4), replyText(reply, 4, 8));
    }
    return fail(s, MessageRow::msgConnectError);
}

// Wakes the device where its model needs it. False when the link did not
// open again after the device was reset.
bool wakeBinaryDevice(DeviceSession& s) {
    const Wakeup wakeup = modelFamilyFor(s.image.modelCode).wakeup;
    if (wakeup == Wakeup::None) {
        return true;
    }
    if (wakeup == Wakeup::ResetFrame) {
        // These devices reset on the 0xAA frame and answer again after a
        // while; the link is reopened afterwards.
        s.pause(50);
        sendAAFrame(s.link, kResetFrame);
        s.link.closeLink();
        s.pause(5000);
        return s.link.openLink();
    }
    if (s.options.wakeUpFrames) {
        const std::string tabText = "A" + std::to_string(s.deviceAddress()) + "F";
        for (int i = 0; i < 2; ++i) {
            s.pause(50);
            sendTabFrame(s.link, tabText);
        }
        for (int i = 0; i < 2; ++i) {
            s.pause(50);
            s.exchangeText(addressPrefix(s.deviceAddress()) + "Zx73");
        }
        char zx[16];
        std::snprintf(zx, sizeof zx, "%03uZx", unsigned{s.deviceAddress()});
        for (int i = 0; i < 2; ++i) {
            s.pause(50);
            s.exchangeText(zx);
        }
    }
    if (s.options.serialNumberWakeUp) {
        for (int i = 0; i < 2; ++i) {
            s.pause(100);
            sendFixedBlock(s.link);
        }
    }
    return true;
}

// The hardware variant tag a file of group 0x84 asks for: C1 or C3 in the
// firmware name (upper-cased) or else in the file name (as it is).
std::string variantTag(const FirmwareImage& image) {
    const std::string name = upper(image.firmwareName);
    for (const std::string& text : {name, image.firmwareFileName}) {
        for (const char* tag : {"C1", "C3"}) {
            if (text.find(tag) != std::string::npos) {
                return tag;
            }
        }
    }
    return {};
}

// What the device of the binary family has told of itself so far.
struct DeviceReport {
    std::uint16_t model = 0;  // normalised, or as the group's version query reports it
    std::string modelText;    // as the device reported it
    std::string verText;
    std::string ispText;
    std::string serialText;  // from the hello reply, "%08X"
};

// How a step of the binary identification ended.
enum class StepOutcome {
    Passed,      // on to the next step
    Refused,     // the device answered the hello request without a payload: wrong PIN
    Mismatch,    // the device is another model or hardware variant than the file's
    Unanswered,  // no reply, or none the step could use
};

struct StepResult {
    StepOutcome outcome = StepOutcome::Passed;
    std::string mismatch;  // why the file is not for this device (Mismatch)
};

// Wakes the loader with hello requests, then asks for the device's model.
StepResult askModel(DeviceSession& s, DeviceReport& report) {
    sendWithRetries(s, wakeAttempts(5), [&] { return s.exchange(kHelloCommand); });
    s.pause(100);
    const ReplyFrame& reply = s.link.reply;
    std::uint16_t reported = 0;
    if (s.exchange(kHelloCommand)) {
        if (reply.payloadLength == 0) {
            return {StepOutcome::Refused, {}};
        }
        if (reply.payloadLength == 8) {
            reported = replyWord(reply, 0);
            report.modelText = hexWord(reported);
            report.serialText =
                hex8((std::uint32_t{replyWord(reply, 2)} << 16) | replyWord(reply, 4));
        }
    }
    report.model = normalizeModel(reported);
    if (!isKnownModel(report.model)) {
        return {StepOutcome::Unanswered, {}};
    }
    if (report.model != s.image.modelCode) {
        return {StepOutcome::Mismatch, modelDiffers(report.model, s.image.modelCode)};
    }
    return {};
}

// VersionCheck::GroupQuery: the row's version query, or the model's group.
StepResult askGroupVersions(DeviceSession& s, DeviceReport& report) {
    const std::uint16_t model = s.image.modelCode;
    const ReplyFrame& reply = s.link.reply;
    s.pause(100);
    const GroupCommands group = groupCommandsFor(model);
    if (group.versionQuery == 0) {
        if ((report.model & 0xFFF0U) == (model & 0xFFF0U)) {
            return {};
        }
        return {StepOutcome::Mismatch, modelDiffers(report.model, model)};
    }
    report.ispText.clear();
    std::string mismatch;
    for (int attempt = 0; attempt < group.versionAttempts; ++attempt) {
        if (attempt > 0) {
            s.pause(100);
        }
        if (s.exchange(group.versionQuery) && reply.payloadLength >= 6) {
            report.model = replyWord(reply, 0);
            const std::uint16_t version = replyWord(reply, 2);
            const std::uint16_t isp = replyWord(reply, 4);
            if (isp != 0 || report.model == model) {
                report.verText = hexWord(version);
                report.ispText = hexWord(isp);
                report.modelText = hexWord(report.model);
                return {};
            }
            mismatch = modelDiffers(report.model, model);
        }
    }
    return {mismatch.empty() ? StepOutcome::Unanswered : StepOutcome::Mismatch, mismatch};
}

// The program and loader versions.
StepResult askVersions(DeviceSession& s, DeviceReport& report) {
    const ReplyFrame& reply = s.link.reply;
    s.pause(100);
    bool answered = false;
    if (s.exchange(kNameAndVersionsCommand) && reply.payloadLength == 16) {
        report.verText = hexWord(replyWord(reply, 12));
        report.ispText = hexWord(replyWord(reply, 14));
        answered = true;
    }
    if (modelFamilyFor(s.image.modelCode).versionCheck == VersionCheck::GroupQuery) {
        return askGroupVersions(s, report);
    }
    return answered ? StepResult{} : StepResult{StepOutcome::Unanswered, {}};
}

// A file of group 0x84 that names a hardware variant is only for a device
// whose loader version carries the same tag: both rows say variantTagged.
StepResult checkVariant(const DeviceSession& s, const DeviceReport& report) {
    if (!modelFamilyFor(s.image.modelCode).variantTagged ||
        !modelFamilyFor(report.model).variantTagged) {
        return {};
    }
    const std::string tag = variantTag(s.image);
    if (!tag.empty() && report.ispText.find(tag) == std::string::npos) {
        return {StepOutcome::Mismatch, "the file is for hardware variant " + tag +
                                           ", the device's loader version is " + report.ispText};
    }
    return {};
}

void switchToLoader(DeviceSession& s) {
    s.pause(100);
    const std::uint16_t modeCommand = groupCommandsFor(s.image.modelCode).modeCommand;
    for (int i = 0; i < 2; ++i) {
        s.exchange(modeCommand, kLoaderModePayload);
        s.pause(100);
    }
}

// Reads the device out as its loader now reports it into the device panels;
// true when the loader gave its name, versions, ID and serial number.
bool readLoaderReport(DeviceSession& s, DeviceReport& report) {
    const ReplyFrame& reply = s.link.reply;
    s.panel.storeLinkSettings(s.options.linkKind, s.options.link);
    s.pause(200);
    if (sendWithRetries(s, wakeAttempts(10), [&] { return s.exchange(kHelloCommand); })) {
        s.pause(10);
    }
    s.pause(100);
    if (!s.exchange(kNameAndVersionsCommand) || reply.payloadLength != 16) {
        return false;
    }
    const std::string name = replyText(reply, 0, 12);
    const std::uint16_t ispWord = replyWord(reply, 14);
    if (report.ispText.empty()) {
        report.ispText = hexWord(ispWord);
    }
    if (ispWord == 0) {
        return false;
    }
    fillPanel(s, DeviceField::Model, report.modelText);
    fillPanel(s, DeviceField::Name, name);
    fillPanel(s, DeviceField::FirmwareVersion, report.verText);
    fillPanel(s, DeviceField::LoaderVersion, report.ispText);
    s.pause(100);
    if (!s.exchange(kHelloCommand) || reply.payloadLength != 8) {
        return false;
    }
    const std::uint32_t serial = (std::uint32_t{replyWord(reply, 2)} << 16) | replyWord(reply, 4);
    fillPanel(s, DeviceField::Id, fourDigits(replyWord(reply, 6)));
    fillPanel(s, DeviceField::SerialNumber, hex8(serial));
    return true;
}

bool failStep(DeviceSession& s, const StepResult& step, const DeviceReport& report) {
    switch (step.outcome) {
        case StepOutcome::Refused:
            return fail(s, MessageRow::msgModelOrPinError,
                        "the device answered the hello request without its model: it refused "
                        "the PIN " +
                            s.options.pinText);
        case StepOutcome::Mismatch:
            s.panel.noteAnsweringDevice(hexWord(report.model), report.serialText);
            return fail(s, MessageRow::msgFileTypeError, step.mismatch);
        case StepOutcome::Passed:
        case StepOutcome::Unanswered:
            break;
    }
    return fail(s, MessageRow::msgConnectError);
}

bool identifyBinaryFamily(DeviceSession& s) {
    if (!s.link.openLink() || !wakeBinaryDevice(s)) {
        return fail(s, MessageRow::msgOpenPortError);
    }
    DeviceReport report;
    StepResult step = askModel(s, report);
    if (step.outcome == StepOutcome::Passed) {
        step = askVersions(s, report);
    }
    if (step.outcome == StepOutcome::Passed) {
        step = checkVariant(s, report);
    }
    if (step.outcome != StepOutcome::Passed) {
        return failStep(s, step, report);
    }
    switchToLoader(s);
    return readLoaderReport(s, report) ? succeed(s) : fail(s, MessageRow::msgConnectError);
}

}  // namespace

bool connectAndIdentify(DeviceSession& session) {
    session.show(MessageRow::msgConnecting);
    session.link.closeLink();
    return isTextFamily(session.image.modelCode) ? identifyTextFamily(session)
                                                 : identifyBinaryFamily(session);
}

}  // namespace flashmere
