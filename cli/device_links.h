#pragma once

#include <functional>
#include <memory>

#include "link/clock.h"
#include "link/transport.h"

namespace flashmere::cli {

// Where the commands that work on one device (upgrade, its repeat, erase,
// read-back) take their time and their links from: the system's clock and
// Qt's serial and TCP links. Tests put in a virtual clock and the simulator
// in process, so that whole commands run on virtual time.
struct DeviceLinks {
    std::function<Clock&()> clock;
    std::function<std::unique_ptr<TransportFactory>()> transports;
};
DeviceLinks& deviceLinks();

}  // namespace flashmere::cli
