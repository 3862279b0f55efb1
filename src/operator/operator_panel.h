#pragma once

#include <cstdint>
#include <string>

#include "link/link_channel.h"
#include "link/transport.h"
#include "operator/message_row.h"
#include "operator/run_times.h"

namespace flashmere {

enum class LampColour { Red, Yellow };
// Failed attempts of each kind, as the error counters show them.
enum class ErrorCounter { Erase, Program, Verify };
// What identification learns about the device, one field each.
enum class DeviceField { Model, Name, FirmwareVersion, LoaderVersion, Id, SerialNumber };

// What a device operation reads from the window when it starts: the ID, the
// PIN box, the option boxes and the active link page with its settings.
struct OperatorOptions {
    int deviceId = 0;  // sbID position, 0..9999
    std::string pinText = "9174";
    bool verify = true;      // chkVerify
    bool skipError = false;  // chkSkip
    // Before identification, the wake-up frames of the V4/V5/V6 loaders:
    // TAB frames and "Zx" text commands (chkV4).
    bool wakeUpFrames = true;
    // Before identification, the S/N wake-up block, twice (chkSN).
    bool serialNumberWakeUp = false;
    // After the start and its reboot wait, identify the device again (read
    // only, the loader is not woken) and say which version it reports.
    bool checkAfterStart = false;
    std::uint8_t linkKind = kLinkCom;
    LinkSettings link;
};

// The window as the device operations see it: each call says what it shows,
// and the README's glossary names the window's control for each. The window,
// the command line and the tests each implement it. The engine calls it from
// its worker thread; an implementation that touches widgets must hand the
// call over to the window's thread.
class OperatorPanel : public TraceSink {
  public:
    // Snapshot of the inputs (captureLinkSettings included).
    virtual OperatorOptions captureOptions() = 0;
    // Keeps the link settings that worked (storeLinkSettings).
    virtual void storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) = 0;

    virtual void showMessage(MessageRow row) = 0;
    // Why the message just shown came about, in words the operator can act
    // on ("page 7 was never acknowledged"). The message keeps its fixed
    // text; the reason goes beside it. Each showMessage clears the reason.
    virtual void showMessageReason(const std::string& reason) = 0;
    virtual void setLamp(LampColour colour) = 0;    // shComm fill
    virtual void setBusyIndicator(bool on) = 0;     // shComm blinking
    virtual void setProgramRange(int maximum) = 0;  // pbProgram 0..maximum
    virtual void setProgramPosition(int position) = 0;
    virtual void setVerifyRange(int maximum) = 0;  // pbVerify 0..maximum
    virtual void setVerifyPosition(int position) = 0;
    // Elapsed time and time left, given with each page just before its
    // position (pbProgram and pbVerify captions).
    virtual void showRunTimes(const RunTimes& times) = 0;
    virtual void setErrorCounter(ErrorCounter counter, int value) = 0;
    virtual void setLineTrace(const std::string& text) = 0;
    virtual void setPageTrace(const std::string& text) = 0;
    virtual void showDeviceField(DeviceField panel, const std::string& text) = 0;
    virtual void showDeviceId(int position) = 0;
    // Starts a tone; never blocks the run and never fails (no audio device
    // means no sound).
    virtual void tone(int frequencyHz, int durationMs) = 0;

    // The reboot-wait window: shown, updated every tick, closed.
    virtual void showRebootWait(int rebootSeconds) = 0;
    virtual void updateRebootWait(const std::string& caption, int barPosition, int barMaximum) = 0;
    virtual void closeRebootWait() = 0;
    // True once the operator closed the wait window early.
    virtual bool rebootWaitClosedByOperator() { return false; }

    // What to check when no device answered at the ID, in this front end's
    // words: the window names its boxes, the command line its options.
    virtual std::string noReplyAdvice(bool serialLink) const {
        return serialLink ? "is the ID right? are the port and its settings right?"
                          : "is the ID right?";
    }

    // The model and serial number of a device that answered but is not the
    // one the file is for: not shown (the device panels stay empty), kept
    // for the history's record of the run.
    virtual void noteAnsweringDevice(const std::string& model, const std::string& serial) {
        (void)model;
        (void)serial;
    }

    // The sentence that ends the reason of a run that failed after the
    // device's program was erased or overwritten: where the device now is
    // and what to do, in this front end's words.
    virtual std::string bootLoaderAdvice() const {
        return "The device now stays in its boot loader without a program to run: upgrade it "
               "again with the same file.";
    }
};

}  // namespace flashmere
