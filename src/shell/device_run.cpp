// The upgrade engine behind the Upgrade button and the transports of the
// service functions, over Qt. The transports are created inside the worker
// thread that runs the operation and never leave it.
#include "link/clock.h"
#include "link/qt_transport_factory.h"
#include "shell/tfrmmodule.h"
#include "upgrade/upgrade_run.h"

namespace flashmere {

DeviceRun defaultDeviceRun() {
    return [](OperatorPanel& panel, FirmwareImage& image) {
        QtTransportFactory transports;
        DeviceRunContext context{panel, transports, systemClock(), image};
        return runUpgrade(context);
    };
}

std::unique_ptr<TransportFactory> defaultServiceTransports() {
    return std::make_unique<QtTransportFactory>();
}

}  // namespace flashmere
