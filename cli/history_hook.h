#pragma once

#include <string>

#include "device_options.h"
#include "firmware/firmware_image.h"
#include "frontend/run_recorder.h"

namespace flashmere::cli {

// The link as the command line named it: the --net or --com value, or empty
// when the stored link was used (the record then names that one).
std::string linkAsGiven(const DeviceArgs& args);

// A run of this command recorded in the history of the settings folder.
RecordedRun recordedRun(OperatorPanel& panel, const char* frontEnd, const char* operation,
                        const std::string& address);

// Writes the record of the ended run. A history that cannot be written never
// changes the exit code; it is told once per process on stderr.
void recordRun(RecordedRun& run, const FirmwareImage* image, const RunOutcome& outcome,
               int exitCode);

}  // namespace flashmere::cli
