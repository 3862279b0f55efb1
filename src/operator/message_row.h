#pragma once

namespace flashmere {

// The messages the device operations show, each numbered by its row of the
// message table (src/frontend/message_table.h), which also holds the
// window's own captions between them. The numbers are fixed: the JSON output
// gives them as "row".
enum class MessageRow : int {
    msgSelectFile = 1,
    msgLoadFileError = 10,
    msgOpenPortError = 11,
    msgConnecting = 12,
    msgConnectError = 13,
    msgConnectOk = 14,
    msgFileTypeError = 15,
    msgModelOrPinError = 16,
    msgProgramming = 17,
    msgProgramError = 18,
    msgProgramOk = 19,
    msgVerifying = 22,
    msgVerifyError = 23,
    msgVerifyOk = 24,
    msgUpgrading = 25,
    msgUpgradeOk = 26,
};

}  // namespace flashmere
