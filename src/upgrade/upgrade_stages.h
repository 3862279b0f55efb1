#pragma once

#include <string>

#include "device/device_session.h"

namespace flashmere {

// The stages of an upgrade after identification. Each returns whether the
// stage succeeded (the run's upgradeOk).
bool programPagesText(DeviceSession& session);
bool programPagesBinary(DeviceSession& session);
bool verifyPagesText(DeviceSession& session);
bool verifyPagesBinary(DeviceSession& session);
void startProgramText(DeviceSession& session);
void startProgramBinary(DeviceSession& session);

// The reboot-wait countdown: ticks every 500 ms and closes after the first
// tick with more than `seconds` elapsed (or when the operator closes it).
void showRebootWait(DeviceSession& session, int seconds);
// "device is rebooting,please wait ..... 007/060 Seconds"
std::string rebootWaitCaption(int elapsedSeconds, int rebootSeconds);

}  // namespace flashmere
