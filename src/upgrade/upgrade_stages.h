#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/device_session.h"

namespace flashmere {

// A page of the image by its index and its device address.
struct PageRef {
    int index;
    std::uint32_t address;
};

// How a stage of an upgrade ended.
struct StageResult {
    bool ok = true;      // the run's upgradeOk
    std::string reason;  // why the stage failed, for the operator
    // Pages that Skip error passed over: never acknowledged (programming) or
    // never read back (verification).
    std::vector<PageRef> passedOver;
};

// The stages of an upgrade after identification.
StageResult programPagesText(DeviceSession& session);
StageResult programPagesBinary(DeviceSession& session);
StageResult verifyPagesText(DeviceSession& session);
StageResult verifyPagesBinary(DeviceSession& session);

// "page 7 (0x0700)", or "pages 3, 7 and 9" for several.
std::string describePages(const std::vector<PageRef>& pages);
// "the link was lost during programming (connection closed by the device)"
std::string linkLostReason(const DeviceSession& session, const char* stage);
void startProgramText(DeviceSession& session);
void startProgramBinary(DeviceSession& session);

// The reboot-wait countdown: ticks every 500 ms and closes after the first
// tick with more than `seconds` elapsed (or when the operator closes it).
void showRebootWait(DeviceSession& session, int seconds);
// "device is rebooting,please wait ..... 007/060 Seconds"
std::string rebootWaitCaption(int elapsedSeconds, int rebootSeconds);

}  // namespace flashmere
