#pragma once

#include <string>

#include "device/device_session.h"

namespace flashmere {

// The link as the operator names it: "HOST:PORT" ([v6]:PORT) over TCP, or
// "PORT (SETTINGS)" on a serial line.
std::string describeLink(const LinkChannel& link);

// "noise on the line HOST:PORT: N bytes in M requests, none of them a reply
// frame": for a link whose exchanges brought bytes but no frame.
std::string noiseOnTheLine(const LinkChannel& link);

// Why a link did not come up, naming it and, when given, what it was for
// ("cannot open ttyUSB0 (19200,e,8,1) for device ID 3: ..."; "cannot
// connect to HOST:PORT: ..."). opened is what openLink() returned; empty when
// the link is open and, over TCP, connected.
std::string linkOpenFailure(const LinkChannel& link, bool opened, const std::string& target);

// What to check after identification ended with "Open communication port
// error!" or "Connect device error!": which link and device ID were tried and
// why nothing came of them (the port or connection failed, a request could
// not be written, only noise came, or no byte came back within the silence
// limit). Empty for every other message.
std::string linkFailureReason(const DeviceSession& session, MessageRow message);

}  // namespace flashmere
