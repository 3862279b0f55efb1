#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "link/clock.h"
#include "link/transport.h"
#include "upgrade/operator_panel.h"

namespace flashmere {

// What the maintenance functions work with. Options are given by the caller:
// the queries take the window's link page, erase and read-back the stored
// settings.
struct ServiceContext {
    OperatorPanel& panel;
    TransportFactory& transports;
    Clock& clock;
    OperatorOptions options;
    // edErrrE as the window shows it: the erase adds to it.
    int eraseErrors = 0;
};

// The three single queries, always to device address 1.
enum class DeviceQuery : std::uint16_t { SerialNumber = 0x0001, Id = 0x0002, Version = 0x0003 };

struct QueryResult {
    bool linkOpened = false;
    bool answered = false;
    std::vector<std::uint8_t> request;       // the frame sent
    std::vector<std::uint8_t> replyPayload;  // the reply's payload when answered
};

// Opens the link, sends one query, closes the link. The request shows in
// edtTX and, over TCP, the reply payload in edtRX.
QueryResult runDeviceQuery(ServiceContext& context, DeviceQuery query);

enum class ServiceOutcome {
    LinkNotOpened,  // nothing was done
    NotServed,      // the device or the firmware model is not one the function serves
    Done,
    Failed,     // erase: a block was not erased ("Program/Download error!")
    FileError,  // read-back: an output file could not be written
};

struct EraseResult {
    ServiceOutcome outcome = ServiceOutcome::LinkNotOpened;
    int blocksErased = 0;
};

// Erases the blocks of a model 0x8401 device that the loaded image covers:
// one request per four pages, each retried once.
EraseResult eraseDeviceBlocks(ServiceContext& context, FirmwareImage& image);

struct ReadBackResult {
    ServiceOutcome outcome = ServiceOutcome::LinkNotOpened;
    int pagesRead = 0;
    int pagesFailed = 0;
    std::string error;  // why an output file could not be written
};

// The three files a read-back writes into its output folder.
inline constexpr const char* kReadBackDump = "FIRMWARE_READ.TVB";
inline constexpr const char* kReadBackLines = "FIRMWARE_READ_01.txt";
inline constexpr const char* kReadBackPages = "FIRMWARE_READ_03.txt";
inline constexpr int kReadBackPageCount = 90;

// Reads the first 90 pages of a model 0x8401 device into the dump and two
// hexadecimal listings in outputFolder, then starts the device's program.
// Every file is written under a temporary name and renamed when complete.
ReadBackResult readBackDevice(ServiceContext& context, std::uint16_t modelCode,
                              const std::string& outputFolder);

}  // namespace flashmere
