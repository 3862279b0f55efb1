#pragma once

#include <optional>
#include <string>

#include "firmware/firmware_header.h"
#include "firmware/firmware_image.h"

namespace flashmere {

// What the window shows after a firmware file was chosen. Its callers turn
// the outcome into their message: the prompt to connect when accepted,
// "Firmware file type error!" when opened and rejected, none when the file
// could not be opened.
struct FileSelection {
    bool opened = false;         // the file could be opened and its start read
    bool accepted = false;       // the header passed: enable btnAuto
    std::string fileCaption;     // pnFile: the full path
    std::string nameCaption;     // pnFileName
    std::string versionCaption;  // pnFileVer
    // Why an opened file's header was refused, for the reason beside the
    // message; empty when accepted or not opened.
    std::string refusal;
};

// Invalidates the previous choice before the open dialog runs: model code 0
// and no file name. A cancelled dialog leaves it so (btnAuto stays disabled).
void beginFirmwareSelection(FirmwareImage& image);

// Takes the chosen path: resets the header fields of the image, reads and
// checks the header, and sets the fields it yields (an accepted header is
// kept whole for the load to compare, with the file's size and the hash of
// what a load reads into pages). The page store is not touched. A path
// that is not a regular file (folder, FIFO, device) or cannot be read counts
// as a file that cannot be opened, and is never waited on; a file shorter
// than a header is rejected as of the wrong type.
FileSelection selectFirmwareFile(const std::string& path, FirmwareImage& image);

// Reads and checks the header of a file without touching any image. Empty
// when the file cannot be opened or read.
std::optional<FirmwareHeader> readFirmwareHeader(const std::string& path);

}  // namespace flashmere
