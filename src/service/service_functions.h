#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/device_protocol.h"
#include "firmware/firmware_image.h"
#include "firmware/model_family.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/operator_panel.h"
#include "operator/run_outcome.h"

namespace flashmere {

// What the maintenance functions work with. Options are given by the caller:
// the queries take the window's link page, erase and read-back the stored
// settings.
struct ServiceContext {
    OperatorPanel& panel;
    TransportFactory& transports;
    Clock& clock;
    OperatorOptions options;
    // ErrorCounter::Erase as the window shows it: the erase adds to it.
    int eraseErrors = 0;
};

// The three single queries, always to device address 1.
enum class DeviceQuery : std::uint16_t {
    SerialNumber = kHelloCommand,
    Id = 0x0002,
    Version = kNameAndVersionsCommand,
};

struct QueryResult {
    bool linkOpened = false;
    bool sent = false;  // false when the link never came up or the write failed
    bool answered = false;
    std::vector<std::uint8_t> request;       // the frame sent, or that would have been
    std::vector<std::uint8_t> replyPayload;  // the reply's payload when answered
    // Without an answer: what was tried and what to check, for the operator.
    std::string failure;
};

// Opens the link, sends one query, closes the link. The request shows in
// the sent trace and, over TCP, the reply payload in the received trace.
QueryResult runDeviceQuery(ServiceContext& context, DeviceQuery query);

// The one device model the erase and the read-back serve: the row that says
// serviceFunctions (firmware/model_family.cpp).
inline const std::uint16_t kServiceModel = serviceModelCode();

// The link as an operator names it: "TCP 192.168.1.101:5003" or "serial
// port ttyUSB0 (19200,e,8,1)".
std::string serviceLinkText(const OperatorOptions& options);

// The blocks that an erase of pageCount pages sends requests for, as the
// service model's row sets them (its erase interval, page size and address
// form): their count and the device addresses of the first and the last.
struct EraseBlocks {
    int count = 0;
    std::uint32_t firstAddress = 0;
    std::uint32_t lastAddress = 0;
};
EraseBlocks eraseBlocksFor(int pageCount);

// How an erase or a read-back ended; each ending is also shown: a message
// with its reason, and the lamp.
struct EraseResult {
    RunOutcome outcome;
    int blocksErased = 0;
};

// Erases the blocks of a model 0x8401 device that the loaded image covers:
// one request per four pages, each retried once. Only an image of that model
// with pages is erased, and only on a device that reports that model.
EraseResult eraseDeviceBlocks(ServiceContext& context, FirmwareImage& image);

struct ReadBackResult {
    RunOutcome outcome;
    int pagesRead = 0;
    std::vector<int> unansweredPages;  // in the files as FF 00 ... 00
    std::string error;                 // why an output file could not be written
};

// The three files a read-back writes into its output folder.
inline constexpr const char* kReadBackDump = "FIRMWARE_READ.TVB";
inline constexpr const char* kReadBackLines = "FIRMWARE_READ_01.txt";
inline constexpr const char* kReadBackPages = "FIRMWARE_READ_03.txt";
inline constexpr int kReadBackPageCount = 90;

// Reads the first 90 pages of a model 0x8401 device into the dump and two
// hexadecimal listings in outputFolder, then starts the device's program.
// modelCode is the chosen firmware file's; the device must report the same
// model. Every file is written under a temporary name and renamed when all
// three are complete; a file of the same name that was there before is
// replaced only then, and kept whenever the read-back fails.
ReadBackResult readBackDevice(ServiceContext& context, std::uint16_t modelCode,
                              const std::string& outputFolder);

}  // namespace flashmere
