#include "device/identification.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>

#include "device/link_failure.h"
#include "device/model_tables.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kIdentify = 0x0001;
constexpr std::uint16_t kNameAndVersions = 0x0003;
constexpr std::array<std::uint8_t, 8> kLoaderMode = {0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 7> kResetFrame = {0x00, 0xB6, 0x03, 0x5E, 0x71, 0x2C, 0x4A};

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFU);
    return text;
}

std::string hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::uint16_t wordAt(const ReplyFrame& reply, std::size_t pos) {
    return static_cast<std::uint16_t>((reply.payload[pos] << 8) | reply.payload[pos + 1]);
}

// Payload characters from pos, at most n, cut at the first zero byte.
std::string textAt(const ReplyFrame& reply, std::size_t pos, std::size_t n) {
    std::string text;
    for (std::size_t i = pos; i < pos + n && reply.payload[i] != 0; ++i) {
        text += static_cast<char>(reply.payload[i]);
    }
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void fillPanel(DeviceSession& s, DevicePanel panel, const std::string& text) {
    s.panel.setDevicePanel(panel, text);
}

// Ends a failed identification: link closed, message, red lamp, low tone.
// A link the system reported lost is a connection failure, whatever the
// replies that did not come would have suggested; a link that never opened
// or a device that never answered gets what to check.
bool fail(DeviceSession& s, MessageRow message, std::string reason = {}) {
    if (s.link.lost()) {
        message = MessageRow::msgConnectError;
        reason = "the link was lost during identification (" + s.link.lossNote() + ")";
    } else if (reason.empty()) {
        reason = linkFailureReason(s, message);
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
    const ImageLoad load = loadFirmwareImage(s.image);
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
        s.panel.setPnMsgReason(loadNote);
    }
    s.panel.tone(1000, 300);
    return true;
}

bool identifyTextFamily(DeviceSession& s) {
    const std::uint16_t model = s.image.modelCode;
    bool linkOpened = false;
    bool answered = false;
    if (s.link.openLink()) {
        linkOpened = true;
        s.pause(50);
        for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
            s.pause(100);
            answered = s.exchangeText(addressPrefix(s.deviceAddress()) + "AS");
        }
    }
    if (!answered) {
        return fail(s, linkOpened ? MessageRow::msgConnectError : MessageRow::msgOpenPortError);
    }
    s.panel.storeLinkSettings(s.options.linkKind, s.options.link);
    s.pause(200);
    s.pause(100);

    const ReplyFrame& reply = s.link.reply;
    if (s.exchangeText(addressPrefix(s.deviceAddress()) + "AS1") && reply.payloadLength == 28 &&
        textAt(reply, 0, 4) == hex4(model)) {
        fillPanel(s, DevicePanel::pnDeviceModel, textAt(reply, 0, 4));
        fillPanel(s, DevicePanel::pnDevicelName, textAt(reply, 12, 12));
        fillPanel(s, DevicePanel::pnDeviceVER, textAt(reply, 24, 4));
        fillPanel(s, DevicePanel::pnDeviceISP, "");
        fillPanel(s, DevicePanel::pnDeviceID, fourDigits(reply.address));
        s.moveDeviceAddress(reply.address);
        fillPanel(s, DevicePanel::pnDeviceSN, textAt(reply, 4, 8));
        return succeed(s);
    }
    return fail(s, MessageRow::msgConnectError);
}

void wakeBinaryDevice(DeviceSession& s, bool& linkOpened) {
    const std::uint16_t model = s.image.modelCode;
    if (isGroup83(model) || isGroup84(model)) {
        return;
    }
    if (modelFamilyFor(model).wakeup == Wakeup::ResetFrame) {
        // These devices reset on the 0xAA frame and answer again after a
        // while; the link is reopened afterwards.
        s.pause(50);
        sendAAFrame(s.link, kResetFrame);
        s.link.closeLink();
        linkOpened = false;
        s.pause(5000);
        linkOpened = s.link.openLink();
        return;
    }
    if (s.options.v4) {
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
    if (s.options.sn) {
        for (int i = 0; i < 2; ++i) {
            s.pause(100);
            sendFixedBlock(s.link);
        }
    }
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

bool identifyBinaryFamily(DeviceSession& s) {
    const std::uint16_t model = s.image.modelCode;
    const ReplyFrame& reply = s.link.reply;
    bool linkOpened = false;
    bool deviceAnswered = true;
    // Why the file is not for this device: set only when the device answered
    // with another model or hardware variant.
    std::string typeMismatch;
    bool identified = false;
    std::string modelText;
    std::string verText;
    std::string ispText;

    auto failureChoice = [&] {
        if (!linkOpened) {
            return fail(s, MessageRow::msgOpenPortError);
        }
        if (!deviceAnswered) {
            return fail(s, MessageRow::msgModelOrPinError);
        }
        if (!typeMismatch.empty()) {
            return fail(s, MessageRow::msgFileTypeError, typeMismatch);
        }
        return fail(s, MessageRow::msgConnectError);
    };

    if (!s.link.openLink()) {
        return failureChoice();
    }
    linkOpened = true;
    wakeBinaryDevice(s, linkOpened);
    if (!linkOpened) {
        return failureChoice();
    }

    for (int attempt = 0; attempt < 5; ++attempt) {
        s.pause(100);
        if (s.exchange(kIdentify)) {
            break;
        }
    }
    s.pause(100);
    std::uint16_t deviceModel = 0;
    if (s.exchange(kIdentify)) {
        if (reply.payloadLength == 8) {
            deviceModel = wordAt(reply, 0);
            modelText = hex4(deviceModel);
        } else if (reply.payloadLength == 0) {
            deviceAnswered = false;
        }
    }
    deviceModel = normalizeModel(deviceModel);
    if (!isKnownModel(deviceModel)) {
        return failureChoice();
    }
    if (deviceModel != model) {
        typeMismatch = modelDiffers(deviceModel, model);
        return failureChoice();
    }

    s.pause(100);
    if (s.exchange(kNameAndVersions) && reply.payloadLength == 16) {
        verText = hex4(wordAt(reply, 12));
        ispText = hex4(wordAt(reply, 14));
        identified = true;
    }

    if (isGroup83(model) || isGroup84(model)) {
        identified = false;
        s.pause(100);
        const GroupCommands group = groupCommandsFor(model);
        if (group.versionQuery != 0) {
            ispText.clear();
            for (int attempt = 0; attempt < group.versionAttempts; ++attempt) {
                if (attempt > 0) {
                    s.pause(100);
                }
                if (s.exchange(group.versionQuery) && reply.payloadLength >= 6) {
                    deviceModel = wordAt(reply, 0);
                    const std::uint16_t version = wordAt(reply, 2);
                    const std::uint16_t isp = wordAt(reply, 4);
                    if (isp != 0 || deviceModel == model) {
                        verText = hex4(version);
                        ispText = hex4(isp);
                        modelText = hex4(deviceModel);
                        identified = true;
                        typeMismatch.clear();
                        break;
                    }
                    typeMismatch = modelDiffers(deviceModel, model);
                }
            }
        } else {
            identified = (deviceModel & 0xFFF0U) == (model & 0xFFF0U);
            if (!identified) {
                typeMismatch = modelDiffers(deviceModel, model);
            }
        }
    }

    if (identified && isGroup84(model) && isGroup84(deviceModel)) {
        const std::string tag = variantTag(s.image);
        if (!tag.empty() && ispText.find(tag) == std::string::npos) {
            identified = false;
            typeMismatch = "the file is for hardware variant " + tag +
                           ", the device's loader version is " + ispText;
        }
    }
    if (!identified) {
        return failureChoice();
    }

    // Switch the device into its loader.
    s.pause(100);
    const std::uint16_t modeCommand = groupCommandsFor(model).modeCommand;
    for (int i = 0; i < 2; ++i) {
        s.exchange(modeCommand, kLoaderMode);
        s.pause(100);
    }

    // Read-out of the device as the loader now reports it.
    s.panel.storeLinkSettings(s.options.linkKind, s.options.link);
    s.pause(200);
    identified = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
        s.pause(100);
        if (s.exchange(kIdentify)) {
            s.pause(10);
            break;
        }
    }
    s.pause(100);
    if (s.exchange(kNameAndVersions) && reply.payloadLength == 16) {
        const std::string name = textAt(reply, 0, 12);
        const std::uint16_t ispWord = wordAt(reply, 14);
        if (ispText.empty()) {
            ispText = hex4(ispWord);
        }
        if (ispWord != 0) {
            fillPanel(s, DevicePanel::pnDeviceModel, modelText);
            fillPanel(s, DevicePanel::pnDevicelName, name);
            fillPanel(s, DevicePanel::pnDeviceVER, verText);
            fillPanel(s, DevicePanel::pnDeviceISP, ispText);
            s.pause(100);
            if (s.exchange(kIdentify) && reply.payloadLength == 8) {
                const std::uint32_t serial =
                    (std::uint32_t{wordAt(reply, 2)} << 16) | wordAt(reply, 4);
                fillPanel(s, DevicePanel::pnDeviceID, fourDigits(wordAt(reply, 6)));
                fillPanel(s, DevicePanel::pnDeviceSN, hex8(serial));
                identified = true;
            }
        }
    }
    return identified ? succeed(s) : fail(s, MessageRow::msgConnectError);
}

}  // namespace

bool connectAndIdentify(DeviceSession& session) {
    session.show(MessageRow::msgConnecting);
    session.link.closeLink();
    return isTextFamily(session.image.modelCode) ? identifyTextFamily(session)
                                                 : identifyBinaryFamily(session);
}

}  // namespace flashmere
