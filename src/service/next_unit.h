#pragma once

#include <functional>
#include <optional>
#include <string>

#include "link/clock.h"
#include "link/transport.h"
#include "operator/operator_panel.h"

namespace flashmere {

// Who answers at the options' ID, asked with the identification requests
// only (nothing is erased or written, the loader is not woken): the serial
// number, or none.
std::optional<std::string> serialThatAnswers(TransportFactory& transports, Clock& clock,
                                             const OperatorOptions& options);

// Waits for the next unit at the options' ID: one whose serial number
// differs from lastSerial, or the last one again after it was away 10 s
// (the silence of its own reboot is shorter). Asks every half second; false
// when stopAsked said so first. Shared by both front ends' repeat flows.
bool waitForNextUnit(TransportFactory& transports, Clock& clock, const OperatorOptions& options,
                     const std::string& lastSerial, const std::function<bool()>& stopAsked);

}  // namespace flashmere
