#pragma once

#include "device/device_session.h"

namespace flashmere {

// Connects to the device, wakes it where its family needs it, checks its
// model against the firmware file, fills the device panels, keeps the link
// settings that worked and loads the page image. True: the link is open,
// "Connect device ok." is shown and the lamp is yellow. False: the link is
// closed and one of the failure messages is shown with a red lamp.
bool connectAndIdentify(DeviceSession& session);

}  // namespace flashmere
