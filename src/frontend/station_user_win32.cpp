#include <windows.h>

#include "frontend/station_user.h"

namespace flashmere {

QString stationUser() {
    wchar_t name[257];
    DWORD size = sizeof name / sizeof name[0];
    if (!::GetUserNameW(name, &size) || size == 0) {
        return qEnvironmentVariable("USERNAME");
    }
    // size counts the terminating null.
    return QString::fromWCharArray(name, static_cast<qsizetype>(size) - 1);
}

}  // namespace flashmere
