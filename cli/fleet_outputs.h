#pragma once

#include <string>
#include <vector>

#include "fleet_manifest.h"

namespace flashmere::cli {

// What a fleet run writes: the report, the CSV beside it, the report's lock
// and, with --logs, the log folder and a log per row.
struct FleetOutputs {
    std::string report;
    std::string logs;  // empty without --logs
};

// Empty when no file the run writes is one it reads (the manifest, a
// firmware file of a row) or another file it writes; else which two are
// one. Paths are compared as the files they resolve to: "./a.json",
// a symbolic link to it and a hard link are a.json.
std::string outputClash(const FleetOutputs& outputs, const std::string& manifest,
                        const std::vector<FleetRow>& rows);

// DIR/row-N.log: the trace of the device of manifest row N.
std::string rowLogPath(const std::string& logs, int row);

}  // namespace flashmere::cli
