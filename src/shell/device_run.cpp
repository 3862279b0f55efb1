// The upgrade engine behind the Upgrade button, over Qt transports. The
// transports are created here, inside the worker thread that runs the
// upgrade, and never leave it.
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

}  // namespace flashmere
