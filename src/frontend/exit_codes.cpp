#include "frontend/exit_codes.h"

namespace flashmere {

ExitCode exitCodeOf(RunEnding ending) {
    switch (ending) {
        case RunEnding::Done:
            return ExitCode::Ok;
        case RunEnding::FileNotWritten:
            return ExitCode::CannotWrite;
        case RunEnding::LinkNotOpened:
            return ExitCode::LinkNotOpened;
        case RunEnding::NoAnswer:
            return ExitCode::NoAnswer;
        case RunEnding::DeviceRefused:
            return ExitCode::DeviceRefused;
        case RunEnding::FileRejected:
            return ExitCode::ModelDiffers;
        case RunEnding::FileUnreadable:
            return ExitCode::LoadFileError;
        case RunEnding::ProgramFailed:
            return ExitCode::ProgramFailed;
        case RunEnding::VerifyFailed:
            return ExitCode::VerifyFailed;
        case RunEnding::Incomplete:
            return ExitCode::ReadBackIncomplete;
        case RunEnding::Other:
            break;
    }
    return ExitCode::Internal;
}

}  // namespace flashmere
