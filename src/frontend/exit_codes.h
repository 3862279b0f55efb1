#pragma once

#include "operator/run_outcome.h"

namespace flashmere {

// The exit codes of flashmere-cli, which the history also gives a window's
// run: the code the command line would have ended the same run with. 7 to 9
// are kept free for further file and usage outcomes.
enum class ExitCode : int {
    Ok = 0,
    Internal = 1,                // an unexpected failure inside the tool
    Usage = 2,                   // bad command line or bad option value
    FileUnreadable = 3,          // a file to read is missing or cannot be read
    FileRejected = 4,            // "Firmware file type error!" of the header
    CannotWrite = 5,             // the output file cannot be written
    UpgradeWouldRefuse = 6,      // `info`: the header is fine, the upgrade would refuse the file
    LinkNotOpened = 10,          // "Open communication port error!"
    NoAnswer = 11,               // "Connect device error!"
    DeviceRefused = 12,          // "Model or PIN error!"
    ModelDiffers = 13,           // "Firmware file type error!" of the device's model
    LoadFileError = 14,          // "Load firmware file error!"
    ProgramFailed = 15,          // "Program/Download error!"
    VerifyFailed = 16,           // "Verify error!"
    ReadBackIncomplete = 17,     // the read-back's files are written, pages were not answered
    Stopped = 18,                // stopped from outside before the end
    CheckAfterStartFailed = 19,  // "Upgrade ok.", but the check after the start failed
    FleetNotAllOk = 20,          // a fleet or a repeat: a device did not end "Upgrade ok."
};

constexpr int exitStatus(ExitCode code) {
    return static_cast<int>(code);
}

// Every exit code with the line `flashmere-cli --help` gives it; README.md,
// cli/EXIT_CODES.md and the manual page list the same codes.
struct ExitCodeMeaning {
    ExitCode code;
    const char* description;
};
inline constexpr ExitCodeMeaning kExitCodes[] = {
    {ExitCode::Ok, "success (\"Upgrade ok.\")"},
    {ExitCode::Internal, "unexpected failure inside the tool"},
    {ExitCode::Usage, "bad usage: unknown command or option, bad value, no device link given"},
    {ExitCode::FileUnreadable, "a file to read is missing or unreadable"},
    {ExitCode::FileRejected, "the firmware file is rejected (\"Firmware file type error!\")"},
    {ExitCode::CannotWrite, "an output file cannot be written"},
    {ExitCode::UpgradeWouldRefuse, "info: the upgrade would refuse the file"},
    {ExitCode::LinkNotOpened, "\"Open communication port error!\""},
    {ExitCode::NoAnswer, "\"Connect device error!\""},
    {ExitCode::DeviceRefused, "\"Model or PIN error!\""},
    {ExitCode::ModelDiffers, "\"Firmware file type error!\" (the device's model differs)"},
    {ExitCode::LoadFileError, "\"Load firmware file error!\""},
    {ExitCode::ProgramFailed, "\"Program/Download error!\""},
    {ExitCode::VerifyFailed, "\"Verify error!\""},
    {ExitCode::ReadBackIncomplete, "read-back incomplete"},
    {ExitCode::Stopped, "stopped by a signal (SIGTERM, SIGHUP, SIGINT)"},
    {ExitCode::CheckAfterStartFailed,
     "--check-after: after the start the device did not answer or still reports its old "
     "version"},
    {ExitCode::FleetNotAllOk, "fleet: at least one device did not end \"Upgrade ok.\""},
};

// The exit code of a device run's outcome: 0 for its success, 10 and up for
// each failure message (5 for a read-back's file not written), 1 for any
// other ending.
ExitCode exitCodeOf(RunEnding ending);

// The exit code of a run that ended with exitCode: a run that failed after a
// stop was requested was stopped (by a signal: SIGINT, SIGTERM, SIGHUP;
// Ctrl-C, Ctrl-Break or a closed console on Windows; or in the window by the
// operator closing it), whatever message its stage ended with.
inline int exitCodeOfRun(int exitCode, bool stopRequested) {
    return stopRequested && exitCode != 0 ? exitStatus(ExitCode::Stopped) : exitCode;
}

}  // namespace flashmere
