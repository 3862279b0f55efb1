#pragma once

#include <QString>

namespace flashmere {

// The name of the user this process runs as, for the history; empty when
// the system does not say.
QString stationUser();

}  // namespace flashmere
