#pragma once

#include <cstdint>
#include <optional>

#include "device/device_session.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/operator_panel.h"

namespace flashmere {

// Asks the device ID once more with the scan's read-only requests, on a link
// of its own, when identification for a file of fileModel got no reply: what
// answered ("a device of model 8401 answered at ID 3; the file is for model
// 8801"), or nothing.
std::optional<OtherFamilyAnswer> askOtherFamily(TransportFactory& transports, Clock& clock,
                                                TraceSink& trace, const OperatorOptions& options,
                                                std::uint16_t id, std::uint16_t fileModel);

}  // namespace flashmere
