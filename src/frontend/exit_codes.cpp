#include "frontend/exit_codes.h"

namespace flashmere {

int upgradeExitCode(MessageRow outcome) {
    switch (outcome) {
        case MessageRow::msgUpgradeOk:
            return 0;
        case MessageRow::msgOpenPortError:
            return 10;
        case MessageRow::msgConnectError:
            return 11;
        case MessageRow::msgModelOrPinError:
            return 12;
        case MessageRow::msgFileTypeError:
            return 13;
        case MessageRow::msgLoadFileError:
            return 14;
        case MessageRow::msgProgramError:
            return 15;
        case MessageRow::msgVerifyError:
            return 16;
        default:
            return 1;
    }
}

int serviceExitCode(ServiceOutcome outcome) {
    switch (outcome) {
        case ServiceOutcome::Done:
            return 0;
        case ServiceOutcome::FileError:
            return 5;
        case ServiceOutcome::LinkNotOpened:
            return 10;
        case ServiceOutcome::NoAnswer:
            return 11;
        case ServiceOutcome::DeviceRefused:
            return 12;
        case ServiceOutcome::NotServed:
            return 13;
        case ServiceOutcome::Failed:
            return 15;
        case ServiceOutcome::Incomplete:
            return 17;
    }
    return 1;
}

}  // namespace flashmere
