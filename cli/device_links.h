#pragma once

#include <functional>
#include <memory>

#include "link/clock.h"
#include "link/transport.h"

namespace flashmere::cli {

// Where the commands that work on devices (upgrade, its repeat, erase,
// read-back, each device of a fleet) take their time and their links from:
// the system's clock and Qt's serial and TCP links. Tests put in virtual
// clocks and the simulator in process, so that whole commands run on
// virtual time. Both are called on the thread that runs the device, and
// from several threads at once in a fleet.
struct DeviceLinks {
    std::function<Clock&()> clock;
    std::function<std::unique_ptr<TransportFactory>()> transports;
};
DeviceLinks& deviceLinks();

}  // namespace flashmere::cli
