#include <pwd.h>
#include <unistd.h>

#include <QFile>
#include <vector>

#include "frontend/station_user.h"

namespace flashmere {

QString stationUser() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_name != nullptr) {
        return QFile::decodeName(found->pw_name);
    }
    // No entry for the user (a container with a bare numeric user).
    return qEnvironmentVariable("USER");
}

}  // namespace flashmere
