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

// How the stages programming and verification end.
StageResult stageFailed(std::string reason);
// The end of a page whose attempts were all used up. A lost link ends the
// stage whatever Skip error says; otherwise Skip error passes the page over
// and without it the page's `failure` ("was never acknowledged") ends the
// stage. True (and result set) when the stage must end here.
bool pageGivenUp(DeviceSession& session, StageResult& result, PageRef page, const char* stage,
                 const char* failure);
// Why the request that starts `stage` got no answer: a lost link, or a
// device that did not answer the `request`.
std::string startUnanswered(const DeviceSession& session, const char* request, const char* stage);

void startProgramText(DeviceSession& session);
// Empty, or why the device may not be running yet (a reboot wait cut short).
std::string startProgramBinary(DeviceSession& session);

// The reboot-wait countdown: ticks every 500 ms and closes after the first
// tick with more than `seconds` elapsed (or when the operator closes it).
// Empty when it ran its time, else how far it got.
std::string showRebootWait(DeviceSession& session, int seconds);
// "device is rebooting,please wait ..... 007/060 Seconds"
std::string rebootWaitCaption(int elapsedSeconds, int rebootSeconds);

}  // namespace flashmere
