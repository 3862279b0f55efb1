// flashmere-cli fleet: every device of a manifest upgraded in one run,
// devices on different links at once, devices that share a link in turn.
// The report on disk is the truth at every instant: a row is "running"
// there before its device is touched, and a finished row is there within
// a fraction of a second. Writes are coalesced: a thousand devices must not
// cost a thousand rewrites of a thousand rows.

#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "commands.h"
#include "device_links.h"
#include "device_options.h"
#include "firmware/durable_file.h"
#include "firmware/file_path.h"
#include "fleet_capacity.h"
#include "fleet_manifest.h"
#include "fleet_outputs.h"
#include "fleet_panel.h"
#include "fleet_report.h"
#include "fleet_worker.h"
#include "frontend/after_start_report.h"
#include "frontend/message_table.h"
#include "history_hook.h"
#include "link/clock.h"
#include "process_room.h"
#include "stop_signals.h"
#include "terminal.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::cli {
namespace {

// Not every device ended "Upgrade ok." (cli/EXIT_CODES.md).
// The report is rewritten at most this often while devices start and end,
// so that a finished row reaches the disk well within 250 ms.
constexpr std::int64_t kReportIntervalMs = 100;
// The terminal's lines of running devices are redrawn at most this often.
constexpr std::int64_t kDrawIntervalMs = 100;

// One device's upgrade on its own worker thread, with its own panel and
// transport factory; nothing it touches is shared with the other runs. The
// device runs take their clock and links where the other device commands
// do; the fleet's own pace (report writes, redraws) is the system's clock.
struct DeviceRun {
    std::size_t index = 0;
    std::unique_ptr<FleetPanel> panel;
    std::unique_ptr<FleetWorker> thread;
    std::int64_t startedMs = 0;
    RunOutcome outcome{RunEnding::Other, MessageRow::msgConnecting, {}, false};
    int exit = 0;  // the run's exit code, a failed check after the start's included
    std::optional<AfterStartCheck> afterStart;
    std::string loadedSha256;
    bool finished = false;  // guarded by Fleet::mutex_
    // The run's record while it runs, for a stop at once (guarded by
    // Fleet::mutex_).
    RecordedRun* recorded = nullptr;
};

class Fleet {
  public:
    Fleet(const FleetArgs& args, const std::vector<FleetRow>& rows, int languageIndex,
          std::string reportPath)
        : args_(args), languageIndex_(languageIndex), reportPath_(std::move(reportPath)) {
        report_.manifest = args.manifest;
        report_.started = isoTimeNow();
        report_.checkAfterStart = args.checkAfter;
        report_.rows = &rows;
        report_.outcomes.resize(rows.size());
        terminal_ = !args.json && stdoutIsTerminal();
    }

    FleetReport& report() { return report_; }
    // Released by a stop at once, which ends the process without unwinding.
    void holdLock(ReportLock& lock) { lock_ = &lock; }
    int run();

  private:
    const std::vector<FleetRow>& rows() const { return *report_.rows; }
    bool saveReport();
    void logFailed(const std::string& path, const std::string& reason);
    std::FILE* openRowLog(int row);
    void recordStops();
    bool reportDue() const;
    void startBatch();
    bool start(std::size_t index);
    void refusedThread(std::size_t index);
    void collectFinished();
    void finish(DeviceRun& run);
    [[noreturn]] void stopAtOnce();
    void waitForNews();
    std::string label(const FleetRow& row) const;
    void printDone(const FleetRow& row, const FleetOutcome& o);
    void drawRunning();
    void clearRunning();
    int endFleet();
    void printSummary(const std::vector<std::size_t>& notOk, int code);

    const FleetArgs& args_;
    int languageIndex_;
    std::string reportPath_;
    FleetReport report_;
    bool terminal_ = false;
    std::vector<std::unique_ptr<DeviceRun>> running_;
    std::set<std::string> busyLinks_;
    std::mutex mutex_;
    std::condition_variable wake_;
    int drawnLines_ = 0;
    int seenStops_ = 0;
    bool reportFailed_ = false;  // a write failed: nothing new starts, exit 5
    bool logsFailed_ = false;    // the same for a row's log
    bool anyStarted_ = false;
    ReportLock* lock_ = nullptr;
    bool cannotStart_ = false;  // the system refused a thread: nothing new starts
    bool reportDirty_ = false;  // rows ended since the last write
    std::int64_t lastSaveMs_ = 0;
    std::int64_t lastDrawMs_ = 0;
};

std::string Fleet::label(const FleetRow& row) const {
    const std::string who =
        row.name.empty() ? row.linkText + " id " + std::to_string(row.id) : row.name;
    return "row " + std::to_string(row.row) + " " + oneLine(who);
}

bool Fleet::saveReport() {
    const std::string error = writeFleetReport(reportPath_, report_);
    lastSaveMs_ = systemClock().nowMs();
    if (error.empty()) {
        reportDirty_ = false;
        return true;
    }
    if (!reportFailed_) {
        clearRunning();
        writeLine(stderr, std::string(kProgramName) + ": " + error +
                              (anyStarted_ ? "; no new device starts, the running ones finish"
                                           : "; no device was touched"));
    }
    reportFailed_ = true;
    return false;
}

bool Fleet::reportDue() const {
    return systemClock().nowMs() - lastSaveMs_ >= kReportIntervalMs;
}

// Marks the rows that can start now "running" on disk, then starts them:
// after a crash the report names every device that may have been touched.
// While devices run, starts wait for the next write, so one write covers
// every device that ended or started meanwhile.
void Fleet::startBatch() {
    if (!running_.empty() && !reportDue()) {
        return;
    }
    std::vector<std::size_t> picked;
    std::set<std::string> links = busyLinks_;
    for (std::size_t i = 0; i < rows().size(); ++i) {
        if (static_cast<int>(running_.size() + picked.size()) >= args_.jobs) {
            break;
        }
        if (report_.outcomes[i].state == FleetState::Pending &&
            links.insert(rows()[i].linkKey).second) {
            picked.push_back(i);
        }
    }
    if (picked.empty()) {
        return;
    }
    const std::string now = isoTimeNow();
    for (const std::size_t i : picked) {
        report_.outcomes[i].state = FleetState::Running;
        report_.outcomes[i].started = now;
    }
    if (!saveReport()) {
        for (const std::size_t i : picked) {
            report_.outcomes[i] = FleetOutcome{};
        }
        return;
    }
    for (const std::size_t i : picked) {
        if (!start(i)) {
            break;
        }
    }
}

// A log that cannot be written whole ends the fleet as one whose output
// failed: said once, no new device starts, the running ones finish, exit 5.
void Fleet::logFailed(const std::string& path, const std::string& reason) {
    if (!logsFailed_) {
        clearRunning();
        writeLine(stderr, std::string(kProgramName) + ": cannot write the log " + oneLine(path) +
                              ": " + reason + "; no new device starts, the running ones finish");
    }
    logsFailed_ = true;
}

std::FILE* Fleet::openRowLog(int row) {
    if (args_.logs.empty()) {
        return nullptr;
    }
    const std::string path = rowLogPath(args_.logs, row);
    std::string reason;
    std::FILE* log = openLogNoFollow(path, reason);
    if (log == nullptr) {
        logFailed(path, reason);
    }
    return log;
}

// False when the system refused the row's thread: the row, untouched, is
// interrupted, and nothing new starts.
bool Fleet::start(std::size_t index) {
    const FleetRow& row = rows()[index];
    auto run = std::make_unique<DeviceRun>();
    run->index = index;
    run->panel = std::make_unique<FleetPanel>(row.options, row.row, languageIndex_,
                                              args_.json ? stdout : nullptr, openRowLog(row.row));
    run->startedMs = systemClock().nowMs();
    DeviceRun* self = run.get();
    run->thread = std::make_unique<FleetWorker>([this, self, &row] {
        FirmwareImage image = row.firmware->image;  // shares the file's pages
        const auto transports = deviceLinks().transports();
        Clock& clock = deviceLinks().clock();
        RecordedRun recorded = recordedRun(*self->panel, "fleet", "upgrade", row.linkText);
        recorded.noteImage(&image);
        {
            std::lock_guard lock(mutex_);
            self->recorded = &recorded;
        }
        DeviceRunContext context{recorded.panel(), *transports, clock, image};
        context.preloaded = &row.firmware->load;
        RunOutcome result = upgradeDevice(context);
        int exit = exitStatus(exitCodeOf(result.ending));
        const auto check =
            checkAfterUpgrade(recorded, *transports, clock, row.options, image, result, false);
        if (check) {
            exit = tellAfterStartCheck(recorded, *check, result, exit);
        }
        recordRun(recorded, &image, result, exit);
        std::lock_guard lock(mutex_);
        self->recorded = nullptr;
        self->outcome = result;
        self->exit = exit;
        self->afterStart = check;
        self->loadedSha256 = image.loadedSha256;
        self->finished = true;
        wake_.notify_all();
    });
    bool launched = false;
    startWithoutStopSignals([&] { launched = run->thread->launch(); });
    if (!launched) {
        refusedThread(index);
        return false;
    }
    anyStarted_ = true;
    busyLinks_.insert(row.linkKey);
    running_.push_back(std::move(run));
    return true;
}

void Fleet::refusedThread(std::size_t index) {
    FleetOutcome& o = report_.outcomes[index];
    o.state = FleetState::Interrupted;
    o.reason = "the system would not start a thread for this device; it was not touched";
    reportDirty_ = true;
    if (!cannotStart_) {
        clearRunning();
        writeLine(stderr, std::string(kProgramName) + ": " + label(rows()[index]) + ": " +
                              o.reason + "; no new device starts, the running ones finish");
    }
    cannotStart_ = true;
}

void Fleet::finish(DeviceRun& run) {
    run.thread->wait();
    const FleetRow& row = rows()[run.index];
    FleetOutcome& o = report_.outcomes[run.index];
    const FleetDeviceView view = run.panel->view();
    o.state = FleetState::Done;
    o.exit = run.exit;
    o.ok = o.exit == 0;
    o.afterStart = run.afterStart;
    o.verified = run.outcome.verified;
    o.loadedSha256 = run.loadedSha256;
    o.message = textOf(run.outcome.message, languageIndex_);
    o.reason = run.outcome.reason;
    o.seconds = static_cast<double>(systemClock().nowMs() - run.startedMs) / 1000.0;
    std::copy(std::begin(view.counters), std::end(view.counters), o.counters);
    o.model = view.model;
    o.version = view.version;
    o.serial = view.serial;
    if (const std::string problem = run.panel->closeLog(); !problem.empty()) {
        logFailed(rowLogPath(args_.logs, row.row), problem);
    }
    run.panel.reset();
    busyLinks_.erase(row.linkKey);
    printDone(row, o);
}

void Fleet::printDone(const FleetRow& row, const FleetOutcome& o) {
    if (args_.json) {
        writeLine(stdout, "{\"row\":" + std::to_string(row.row) +
                              ",\"event\":\"device-result\",\"ok\":" + (o.ok ? "true" : "false") +
                              ",\"exit\":" + std::to_string(o.exit) + ",\"text\":" +
                              jsonString(o.message) + ",\"reason\":" + jsonString(o.reason) +
                              ",\"verified\":" + (o.verified ? "true" : "false") +
                              versionAfterField(o) + "}");
        return;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", o.seconds);
    std::string line = label(row) + ": " + o.message;
    if (!o.ok) {
        line += " (exit " + std::to_string(o.exit) + ")";
    }
    line += ", " + std::string(seconds);
    if (!o.reason.empty()) {
        line += ": " + oneLine(o.reason);
    }
    clearRunning();
    writeLine(stdout, line);
}

void Fleet::collectFinished() {
    std::vector<std::unique_ptr<DeviceRun>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& run : done) {
        finish(*run);
    }
    reportDirty_ = reportDirty_ || !done.empty();
}

void Fleet::clearRunning() {
    if (terminal_ && drawnLines_ > 0) {
        std::printf("\033[%dA\033[J", drawnLines_);
        drawnLines_ = 0;
    }
}

// A running device's line: name, stage and bar.
std::string runningLine(const std::string& label, const FleetDeviceView& view) {
    constexpr int kWidth = 20;
    const int filled =
        view.maximum > 0 ? std::min(view.position, view.maximum) * kWidth / view.maximum : 0;
    char bar[128];
    std::snprintf(bar, sizeof bar, "%-7s [%s%s] %d/%d", view.bar.c_str(),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(),
                  view.position, view.maximum);
    return label + "  " + view.stage + "  " + (view.maximum > 0 ? bar : "");
}

// On a terminal: a line per running device and a summary, redrawn in place.
// Lines must neither wrap nor pass the terminal's height, or moving back up
// over them would miss and the display would scroll.
void Fleet::drawRunning() {
    const std::int64_t now = systemClock().nowMs();
    if (!terminal_ || (drawnLines_ > 0 && now - lastDrawMs_ < kDrawIntervalMs)) {
        return;
    }
    lastDrawMs_ = now;
    clearRunning();
    const TerminalSize size = terminalSize();
    const auto columns = static_cast<std::size_t>(std::max(size.columns - 1, 1));
    const std::size_t room = static_cast<std::size_t>(std::max(size.rows - 2, 1));
    const std::size_t shown = running_.size() <= room ? running_.size() : room - 1;
    std::string block;
    for (std::size_t i = 0; i < shown; ++i) {
        const DeviceRun& run = *running_[i];
        block += runningLine(label(rows()[run.index]), run.panel->view()).substr(0, columns) + "\n";
    }
    if (shown < running_.size()) {
        block += ("  ... and " + std::to_string(running_.size() - shown) + " more running")
                     .substr(0, columns) +
                 "\n";
    }
    int ok = 0, failed = 0, pending = 0;
    for (const auto& o : report_.outcomes) {
        ok += (o.state == FleetState::Done || o.state == FleetState::Resumed) && o.ok;
        failed += o.state == FleetState::Done && !o.ok;
        pending += o.state == FleetState::Pending;
    }
    char summary[160];
    std::snprintf(summary, sizeof summary, "fleet: %d ok, %d failed, %zu running, %d waiting%s", ok,
                  failed, running_.size(), pending,
                  seenStops_ > 0 || reportFailed_ || logsFailed_ || cannotStart_
                      ? " (stopping: no new device starts)"
                      : "");
    block += std::string(summary).substr(0, columns) + "\n";
    std::fputs(block.c_str(), stdout);
    std::fflush(stdout);
    drawnLines_ = static_cast<int>(std::count(block.begin(), block.end(), '\n'));
}

// A second Ctrl-C, SIGTERM or SIGHUP: the report is written a last time with
// the running rows "interrupted", and the process ends without waiting. The
// devices stay in their loaders; a later run upgrades them again.
void Fleet::stopAtOnce() {
    report_.interrupted = true;
    for (auto& run : running_) {
        report_.outcomes[run->index].state = FleetState::Interrupted;
    }
    recordStops();
    const int code = endFleet();
    if (lock_ != nullptr) {
        lock_->release();
    }
    std::fflush(nullptr);
    std::_Exit(code);
}

// The history gets the stop of every device still being written; a run that
// has written its ending meanwhile keeps it.
void Fleet::recordStops() {
    const QString reason = QStringLiteral(
        "the fleet was stopped by a signal while this device was being written; it stays in its "
        "loader and is upgraded again by a later run");
    std::lock_guard lock(mutex_);
    for (const auto& run : running_) {
        if (run->recorded != nullptr) {
            const QString problem =
                run->recorded->history().append(run->recorded->stoppedRecord(reason));
            if (!problem.isEmpty() && firstHistoryFailure()) {
                writeLine(stderr, std::string(kProgramName) +
                                      ": the stop was not written to the "
                                      "history: " +
                                      oneLine(problem.toStdString()));
            }
        }
    }
}

// Until a device ends, a stop is asked, or rows that ended are due on disk.
void Fleet::waitForNews() {
    std::int64_t waitMs = 200;
    if (reportDirty_) {
        waitMs = std::clamp<std::int64_t>(kReportIntervalMs - (systemClock().nowMs() - lastSaveMs_),
                                          0, waitMs);
    }
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
        return stopRequests() != seenStops_ ||
               std::any_of(running_.begin(), running_.end(),
                           [](const auto& r) { return r->finished; });
    });
}

int Fleet::run() {
    if (!saveReport()) {
        return static_cast<int>(ExitCode::CannotWrite);  // no device was touched
    }
    bool stopping = false;
    for (;;) {
        collectFinished();
        seenStops_ = stopRequests();
        if (seenStops_ >= 2) {
            stopAtOnce();
        }
        if (seenStops_ == 1 && !stopping) {
            clearRunning();
            writeLine(stderr, std::string(kProgramName) +
                                  ": interrupted: no new device starts; the running ones finish "
                                  "(Ctrl-C again to stop at once)");
        }
        stopping = seenStops_ > 0 || reportFailed_ || logsFailed_ || cannotStart_;
        if (!stopping) {
            startBatch();
        }
        if (running_.empty()) {
            break;
        }
        if (reportDirty_ && reportDue()) {
            saveReport();
        }
        drawRunning();
        waitForNews();
    }
    if (seenStops_ > 0) {
        report_.interrupted = true;
    }
    return endFleet();
}

int Fleet::endFleet() {
    clearRunning();
    for (auto& o : report_.outcomes) {
        if (o.state == FleetState::Pending) {
            o.state = FleetState::Interrupted;
        }
    }
    report_.finished = isoTimeNow();
    saveReport();
    std::vector<std::size_t> notOk;
    for (std::size_t i = 0; i < report_.outcomes.size(); ++i) {
        if (!report_.outcomes[i].ok) {
            notOk.push_back(i);
        }
    }
    const int code = reportFailed_ || logsFailed_ ? exitStatus(ExitCode::CannotWrite)
                     : notOk.empty()              ? 0
                                                  : exitStatus(ExitCode::FleetNotAllOk);
    printSummary(notOk, code);
    return code;
}

// "3, 6, 9": the manifest rows of these outcomes.
std::string rowNumbers(const std::vector<FleetRow>& rows, const std::vector<std::size_t>& which) {
    std::string text;
    for (const std::size_t i : which) {
        text += (text.empty() ? "" : ", ") + std::to_string(rows[i].row);
    }
    return text;
}

void Fleet::printSummary(const std::vector<std::size_t>& notOk, int code) {
    std::vector<std::size_t> resumed;
    for (std::size_t i = 0; i < report_.outcomes.size(); ++i) {
        if (report_.outcomes[i].state == FleetState::Resumed) {
            resumed.push_back(i);
        }
    }
    if (args_.json) {
        writeLine(stdout,
                  "{\"event\":\"result\",\"ok\":" + std::string(code == 0 ? "true" : "false") +
                      ",\"devices\":" + std::to_string(rows().size()) + ",\"not_ok\":[" +
                      rowNumbers(rows(), notOk) + "],\"resumed\":[" + rowNumbers(rows(), resumed) +
                      "],\"interrupted\":" + (report_.interrupted ? "true" : "false") +
                      ",\"report\":" + jsonString(reportPath_) +
                      ",\"exit\":" + std::to_string(code) + "}");
        return;
    }
    writeLine(stdout, "fleet: " + std::to_string(rows().size() - notOk.size()) + " of " +
                          std::to_string(rows().size()) + " devices ok" +
                          (report_.interrupted ? " (interrupted)" : "") + "; report " +
                          reportPath_ + (reportFailed_ ? " (its last write failed)" : ""));
    if (!resumed.empty()) {
        writeLine(stdout, "  skipped, ok in the earlier report: row" +
                              std::string(resumed.size() > 1 ? "s " : " ") +
                              rowNumbers(rows(), resumed));
    }
    for (const std::size_t i : notOk) {
        const FleetOutcome& o = report_.outcomes[i];
        std::string line = "  not ok: " + label(rows()[i]) + ": ";
        if (o.state == FleetState::Done) {
            line += o.message + " (exit " + std::to_string(o.exit) + ")";
            if (!o.reason.empty()) {
                line += ": " + oneLine(o.reason);
            }
        } else {
            line += "interrupted";
        }
        writeLine(stdout, line);
    }
}

std::optional<FleetManifest> checkedManifest(const FleetArgs& args, int languageIndex) {
    FleetDefaults defaults;
    defaults.file = args.file;
    defaults.languageIndex = languageIndex;
    defaults.verify = !args.noVerify;
    defaults.skipErrors = args.skipErrors;
    defaults.wakeUpFrames = !args.noWakeUpFrames;
    defaults.serialNumberWakeUp = args.serialNumberWakeUp;
    defaults.checkAfterStart = args.checkAfter;
    FleetManifest manifest = loadFleetManifest(args.manifest, defaults);
    if (manifest.problems.empty()) {
        return manifest;
    }
    for (const std::string& line : describeProblems(manifest.problems)) {
        writeLine(stderr, std::string(kProgramName) + ": " + oneLine(args.manifest) + ": " + line);
    }
    return std::nullopt;
}

std::string reportPathFor(const FleetArgs& args) {
    if (!args.report.empty()) {
        return args.report;
    }
    return utf8FromPath(pathFromUtf8(args.manifest).parent_path() / "fleet-report.json");
}

// Rows an earlier report ended ok with the same link, ID and file, and that
// were read back then if this run reads back, and checked after their start
// if this run checks.
std::vector<std::optional<FleetOutcome>> earlierRows(
    const std::vector<FleetRow>& rows, const std::map<std::string, FleetOutcome>& earlier) {
    std::vector<std::optional<FleetOutcome>> taken(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FleetRow& row = rows[i];
        const auto found =
            earlier.find(resumeKey(row.linkColumn, row.linkText, row.id, row.sha256));
        if (found != earlier.end() && (found->second.verified || !row.options.verify) &&
            (found->second.afterStart || !row.options.checkAfterStart)) {
            taken[i] = found->second;
        }
    }
    return taken;
}

// Whether the devices left to run fit the process at --jobs, after the
// limits were raised as far as the process may: empty, or why not.
std::string roomProblem(const FleetArgs& args, const std::vector<FleetRow>& rows,
                        const std::vector<std::optional<FleetOutcome>>& resumed) {
    std::set<std::string> links;  // devices that share a link run in turn
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!resumed[i]) {
            links.insert(rows[i].linkKey);
        }
    }
    FleetDemand demand;
    demand.jobs = args.jobs;
    demand.devicesAtOnce =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(args.jobs), links.size());
    demand.logs = !args.logs.empty();
    return capacityProblem(demand, raiseProcessLimits());
}

int runChecked(const FleetArgs& args, const FleetManifest& manifest, int languageIndex) {
    const std::string reportPath = reportPathFor(args);
    if (const std::string clash =
            outputClash({reportPath, args.logs}, args.manifest, manifest.rows);
        !clash.empty()) {
        return fail(ExitCode::Usage, clash);
    }
    std::map<std::string, FleetOutcome> earlier;
    if (!args.resume.empty()) {
        std::string error;
        earlier = readOkRows(args.resume, error);
        if (!error.empty()) {
            return fail(ExitCode::FileUnreadable, error);
        }
    }
    const auto resumed = earlierRows(manifest.rows, earlier);
    if (const std::string problem = roomProblem(args, manifest.rows, resumed); !problem.empty()) {
        return fail(ExitCode::Usage, problem);
    }
    ReportLock lock(reportPath);
    if (const std::string error = lock.acquire(); !error.empty()) {
        return fail(ExitCode::CannotWrite, error);
    }
    if (!args.logs.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(pathFromUtf8(args.logs), ec);
        if (ec || !std::filesystem::is_directory(pathFromUtf8(args.logs))) {
            return fail(ExitCode::CannotWrite, "cannot make the log folder " + oneLine(args.logs) +
                                                   (ec ? ": " + ec.message() : std::string()));
        }
    }
    Fleet fleet(args, manifest.rows, languageIndex, reportPath);
    fleet.holdLock(lock);
    for (std::size_t i = 0; i < resumed.size(); ++i) {
        if (resumed[i]) {
            fleet.report().outcomes[i] = *resumed[i];
        }
    }
    installStopSignals();
    const int code = fleet.run();
    restoreStopSignals();
    return code;
}

}  // namespace

int runFleetCommand(const FleetArgs& args) {
    const auto language = languageIndexFromOption(args.lang);
    if (!language) {
        return fail(ExitCode::Usage,
                    "--lang \"" + oneLine(args.lang) + "\" is not one of en, zh-CN, zh-TW");
    }
    if (!args.deviceOption.empty()) {
        return fail(ExitCode::Usage,
                    args.deviceOption +
                        " is no option of fleet: each device's link, ID and PIN come from its "
                        "manifest row (columns net or com, mode, id, pin)");
    }
    ensureQtApplication();  // host names of the manifest are looked up
    const std::optional<FleetManifest> manifest = checkedManifest(args, *language);
    if (!manifest) {
        return static_cast<int>(ExitCode::Usage);
    }
    return runChecked(args, *manifest, *language);
}

}  // namespace flashmere::cli
