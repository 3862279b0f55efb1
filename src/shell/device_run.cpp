// The upgrade engine behind the Upgrade button, over Qt transports. The
// transports are created here, inside the worker thread that runs the
// upgrade, and never leave it.
#include "link/clock.h"
#include "shell/tfrmmodule.h"

#if FLASHMERE_HAVE_UPGRADE_RUN
#include "link/qt_transport_factory.h"
#include "upgrade/upgrade_run.h"
#endif

namespace flashmere {

DeviceRun defaultDeviceRun() {
#if FLASHMERE_HAVE_UPGRADE_RUN
    return [](OperatorPanel& panel, FirmwareImage& image) {
        QtTransportFactory transports;
        DeviceRunContext context{panel, transports, systemClock(), image};
        return runUpgrade(context);
    };
#else
    return {};
#endif
}

}  // namespace flashmere
