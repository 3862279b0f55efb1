#include <windows.h>

#include "frontend/station_user.h"

namespace flashmere {

QString stationUser() {
    constexpr DWORD kRoom = 257;  // the longest user name and its null
    wchar_t name[kRoom];
    DWORD size = kRoom;
    if (!::GetUserNameW(name, &size) || size == 0) {
        return qEnvironmentVariable("USERNAME");
    }
    // size counts the terminating null.
    return QString::fromWCharArray(name, static_cast<qsizetype>(size) - 1);
}

}  // namespace flashmere
