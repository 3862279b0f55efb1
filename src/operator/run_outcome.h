#pragma once

#include <string>

#include "operator/message_row.h"

namespace flashmere {

// How a device run (an upgrade, an erase, a read-back) ended, whatever the
// message it ended with says in the operator's language.
enum class RunEnding {
    Done,            // "Upgrade ok."; the erase or the read-back completed ("Program/Download ok.")
    LinkNotOpened,   // "Open communication port error!"; nothing was sent
    NoAnswer,        // "Connect device error!"
    DeviceRefused,   // "Model or PIN error!": the PIN refused, or another model than served
    FileRejected,    // "Firmware file type error!", or a file the service function does not serve
    FileUnreadable,  // "Load firmware file error!"
    ProgramFailed,   // "Program/Download error!"; an erase: a block was not erased
    VerifyFailed,    // "Verify error!"
    Incomplete,      // read-back: the files are written, but some pages were never answered
    FileNotWritten,  // read-back: an output file could not be written; nothing was replaced
    Other,           // any other last message
};

// The outcome of a device run as every front end gets it: the ending, the
// last message shown and the reason shown beside it.
struct RunOutcome {
    RunEnding ending = RunEnding::Other;
    MessageRow message = MessageRow::msgSelectFile;
    std::string reason;  // empty when the message was shown without one
    // Upgrade: every page was read back and equal to the image. False for a
    // run with Verify off, whose "Upgrade ok." says so in its reason.
    bool verified = false;

    bool ok() const { return ending == RunEnding::Done; }
};

}  // namespace flashmere
