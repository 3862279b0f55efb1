#pragma once

#include <functional>
#include <optional>

#include "device/device_session.h"
#include "firmware/firmware_image.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/message_row.h"
#include "operator/operator_panel.h"
#include "operator/run_outcome.h"

namespace flashmere {

// Everything a device operation works with. The operation runs on the
// calling thread (a worker, never the window's thread) and blocks until done.
struct DeviceRunContext {
    OperatorPanel& panel;
    TransportFactory& transports;
    Clock& clock;
    FirmwareImage& image;
    // Asked with the run's options when identification got no reply: what
    // answers at the ID in the other protocol family. None: not asked.
    std::function<std::optional<OtherFamilyAnswer>(const OperatorOptions& options,
                                                   std::uint16_t id)>
        askOtherFamily{};
    // The outcome of a load done before the run, image holding its pages;
    // none: identification loads the image from the file as it is then.
    const ImageLoad* preloaded = nullptr;
};

// The whole upgrade behind the Upgrade button: identification, programming,
// verification, start and reboot wait.
RunOutcome upgradeDevice(DeviceRunContext& context);

// The ending an upgrade's last message stands for.
RunEnding upgradeEndingOf(MessageRow message);

}  // namespace flashmere
