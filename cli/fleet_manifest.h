#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_options.h"
#include "firmware/firmware_image.h"
#include "operator/operator_panel.h"

namespace flashmere::cli {

// A firmware file as the manifest check read it: its header, its pages and
// how the load went. Read once for every row that names the file, and only
// read after that, by all their runs at once.
struct LoadedFirmware {
    FirmwareImage image;
    ImageLoad load;
};

// One device of a fleet manifest, checked and ready to run.
struct FleetRow {
    int row = 0;             // line number in the manifest (the header is row 1)
    std::string name;        // the name column, or empty
    std::string linkColumn;  // "net" or "com"
    std::string linkText;    // the net or com cell as written
    std::string linkKey;     // devices with the same key share one link
    int id = 0;
    std::string fileText;  // the file as the manifest or --file names it
    std::string filePath;  // where it is read from
    std::uint16_t fileModel = 0;
    std::string sha256;  // of the whole file, lower-case hex
    std::shared_ptr<const LoadedFirmware> firmware;
    OperatorOptions options;
};

// Where a manifest row and column went wrong, and why.
struct ManifestProblem {
    int row = 0;
    int column = 0;  // 1-based; 0 when the row as a whole is wrong
    std::string columnName;
    std::string text;
};

struct FleetManifest {
    std::vector<FleetRow> rows;
    std::vector<ManifestProblem> problems;
};

// What every row shares: the command line's --file, PIN default, language
// and the upgrade options.
struct FleetDefaults {
    std::string file;
    int languageIndex = 0;
    bool verify = true;
    bool skipErrors = false;
    bool wakeUpFrames = true;
    bool serialNumberWakeUp = false;
    bool checkAfterStart = false;
};

// Reads and checks the whole manifest without touching any device: columns,
// one link per row, IDs, PINs, serial settings, files (readable, accepted,
// one model per device) and rows that name a device twice.
FleetManifest loadFleetManifest(const std::string& path, const FleetDefaults& defaults);

// "row 3, column 2 (id): ..."
std::string describe(const ManifestProblem& problem);

// Every problem as a line, in order; a problem that many rows share (a
// --file that is missing, a file named by every row) once, with the other
// rows it holds for.
std::vector<std::string> describeProblems(const std::vector<ManifestProblem>& problems);

// SHA-256 of a file as lower-case hex; empty when it cannot be read.
std::string fileSha256(const std::string& path);

}  // namespace flashmere::cli
