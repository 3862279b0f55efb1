#pragma once

#include <QLockFile>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fleet_manifest.h"
#include "service/after_start_check.h"

namespace flashmere::cli {

enum class FleetState { Pending, Running, Done, Interrupted, Resumed };

// How one row of the fleet ended (or where it stands while the fleet runs).
struct FleetOutcome {
    FleetState state = FleetState::Pending;
    bool ok = false;
    int exit = 0;         // meaningful for Done and Resumed
    std::string message;  // the run's last message
    std::string reason;
    std::string started;  // ISO 8601, UTC: when the row's device was first touched
    // Of the bytes the run loaded for the device; empty when it loaded none.
    std::string loadedSha256;
    bool verified = false;  // ended ok with every page read back and compared
    double seconds = 0;
    int counters[3] = {0, 0, 0};  // erase, program, verify
    std::string model;
    std::string version;
    std::string serial;
    // The check after the start, when the row's device was checked: its
    // version goes into the report as device.version_after (null when the
    // device did not answer).
    std::optional<AfterStartCheck> afterStart;
};

struct FleetReport {
    std::string manifest;
    std::string started;   // ISO 8601, UTC
    std::string finished;  // empty while the fleet runs
    bool interrupted = false;
    // The fleet ran with --check-after: the CSV has a version_after column.
    bool checkAfterStart = false;
    const std::vector<FleetRow>* rows = nullptr;
    std::vector<FleetOutcome> outcomes;  // one per row
};

// Writes REPORT.json and REPORT.csv beside it, each under a temporary name
// renamed over the old file, so a reader never sees half a report. Empty on
// success, else which file failed and the system's reason.
std::string writeFleetReport(const std::string& jsonPath, const FleetReport& report);

// ",\"version_after\":..." of a row checked after the start, for a JSON
// object; empty when it was not checked.
std::string versionAfterField(const FleetOutcome& o);

// The CSV file that goes with a JSON report path.
std::string csvPathFor(const std::string& jsonPath);

// The rows of an earlier report that ended ok, by resumeKey. Empty with
// error set when the file cannot be read or is not a fleet report.
std::map<std::string, FleetOutcome> readOkRows(const std::string& path, std::string& error);

// Same link as written, same ID, same file content.
std::string resumeKey(const std::string& linkColumn, const std::string& linkText, int id,
                      const std::string& sha256);

// The current time as ISO 8601 UTC.
std::string isoTimeNow();

// A report belongs to one run: REPORT.lock, held while the run lives, names
// its process. The lock of a process that no longer runs (killed, crashed)
// is taken over, whatever its age.
class ReportLock {
  public:
    explicit ReportLock(const std::string& reportPath);
    ~ReportLock();
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;

    // Empty when this run holds the lock now, else why it cannot (another
    // run's process ID, or the system's reason).
    std::string acquire();
    // Gives the lock up and removes its file.
    void release();

    static std::string pathFor(const std::string& reportPath);

  private:
    std::unique_ptr<QLockFile> lock_;
    std::string reportPath_;
};

}  // namespace flashmere::cli
