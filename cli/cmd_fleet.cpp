// flashmere-cli fleet: every device of a manifest upgraded in one run,
// devices on different links at once, devices that share a link in turn.

#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "commands.h"
#include "device_options.h"
#include "firmware/file_path.h"
#include "firmware/firmware_selection.h"
#include "fleet_manifest.h"
#include "fleet_panel.h"
#include "fleet_report.h"
#include "frontend/message_table.h"
#include "link/clock.h"
#include "link/qt_transport_factory.h"
#include "terminal.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::cli {
namespace {

// Not every device ended "Upgrade ok." (cli/EXIT_CODES.md).
constexpr int kFleetNotAllOk = 20;

std::atomic<int> interruptCount{0};

void onInterrupt() {
    interruptCount.fetch_add(1);
}

// One device's upgrade on its own worker thread, with its own panel and
// transport factory; nothing it touches is shared with the other runs.
struct DeviceRun {
    std::size_t index = 0;
    std::unique_ptr<FleetPanel> panel;
    std::unique_ptr<QThread> thread;
    std::int64_t startedMs = 0;
    MessageRow outcome = MessageRow::msgConnecting;
    bool finished = false;  // guarded by Fleet::mutex_
};

class Fleet {
  public:
    Fleet(const FleetArgs& args, const std::vector<FleetRow>& rows, int languageIndex,
          std::string reportPath)
        : args_(args), languageIndex_(languageIndex), reportPath_(std::move(reportPath)) {
        report_.manifest = args.manifest;
        report_.started = isoTimeNow();
        report_.rows = &rows;
        report_.outcomes.resize(rows.size());
        terminal_ = !args.json && stdoutIsTerminal();
    }

    FleetReport& report() { return report_; }
    int run();

  private:
    const std::vector<FleetRow>& rows() const { return *report_.rows; }
    bool startNext();
    void start(std::size_t index);
    void collectFinished();
    void finish(DeviceRun& run);
    void saveReport();
    std::string label(const FleetRow& row) const;
    void printDone(const FleetRow& row, const FleetOutcome& o);
    void drawRunning();
    void clearRunning();
    int endFleet();

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
    int seenInterrupts_ = 0;
    bool reportErrorShown_ = false;
};

std::string Fleet::label(const FleetRow& row) const {
    const std::string who =
        row.name.empty() ? row.linkText + " id " + std::to_string(row.id) : row.name;
    return "row " + std::to_string(row.row) + " " + oneLine(who);
}

void Fleet::saveReport() {
    const std::string error = writeFleetReport(reportPath_, report_);
    if (!error.empty() && !reportErrorShown_) {
        reportErrorShown_ = true;
        writeLine(stderr, std::string(kProgramName) + ": " + error);
    }
}

// Starts the first pending row whose link is free; false when none can start.
bool Fleet::startNext() {
    for (std::size_t i = 0; i < rows().size(); ++i) {
        if (report_.outcomes[i].state == FleetState::Pending &&
            !busyLinks_.count(rows()[i].linkKey)) {
            start(i);
            return true;
        }
    }
    return false;
}

void Fleet::start(std::size_t index) {
    const FleetRow& row = rows()[index];
    auto run = std::make_unique<DeviceRun>();
    run->index = index;
    std::FILE* log = nullptr;
    if (!args_.logs.empty()) {
        const std::string path = args_.logs + "/row-" + std::to_string(row.row) + ".log";
        log = openFile(path, "wb");
        if (log == nullptr) {
            writeLine(stderr, std::string(kProgramName) + ": cannot write " + path);
        }
    }
    run->panel = std::make_unique<FleetPanel>(row.options, row.row, languageIndex_,
                                              args_.json ? stdout : nullptr, log);
    run->startedMs = systemClock().nowMs();
    report_.outcomes[index].state = FleetState::Running;
    busyLinks_.insert(row.linkKey);
    DeviceRun* self = run.get();
    run->thread.reset(QThread::create([this, self, &row] {
        FirmwareImage image;
        selectFirmwareFile(row.filePath, image);
        QtTransportFactory transports;
        DeviceRunContext context{*self->panel, transports, systemClock(), image};
        const MessageRow outcome = runUpgrade(context);
        std::lock_guard lock(mutex_);
        self->outcome = outcome;
        self->finished = true;
        wake_.notify_all();
    }));
    // Ctrl-C goes to the fleet's own thread, never into a device's run.
    startThreadOutsideInterrupts([&] { run->thread->start(); });
    running_.push_back(std::move(run));
}

void Fleet::finish(DeviceRun& run) {
    run.thread->wait();
    const FleetRow& row = rows()[run.index];
    FleetOutcome& o = report_.outcomes[run.index];
    const FleetDeviceView view = run.panel->view();
    o.state = FleetState::Done;
    o.exit = exitCodeFor(run.outcome);
    o.ok = o.exit == 0;
    o.message = textOf(run.outcome, languageIndex_);
    o.reason = view.reason;
    o.seconds = static_cast<double>(systemClock().nowMs() - run.startedMs) / 1000.0;
    std::copy(std::begin(view.counters), std::end(view.counters), o.counters);
    o.model = view.model;
    o.version = view.version;
    o.serial = view.serial;
    run.panel.reset();  // closes the row's log
    busyLinks_.erase(row.linkKey);
    printDone(row, o);
}

void Fleet::printDone(const FleetRow& row, const FleetOutcome& o) {
    if (args_.json) {
        writeLine(stdout, "{\"row\":" + std::to_string(row.row) +
                              ",\"event\":\"device-result\",\"ok\":" + (o.ok ? "true" : "false") +
                              ",\"exit\":" + std::to_string(o.exit) + ",\"text\":" +
                              jsonString(o.message) + ",\"reason\":" + jsonString(o.reason) + "}");
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
    if (!done.empty()) {
        saveReport();
    }
}

void Fleet::clearRunning() {
    if (terminal_ && drawnLines_ > 0) {
        std::printf("\033[%dA\033[J", drawnLines_);
        drawnLines_ = 0;
    }
}

// The terminal's width; lines drawn in place must not wrap, or moving back
// up over them would miss.
std::size_t terminalColumns() {
    const std::size_t columns = terminalColumnCount();
    return columns > 1 ? columns - 1 : 79;
}

// On a terminal: a line per running device (name, stage, bar) and a summary.
void Fleet::drawRunning() {
    if (!terminal_) {
        return;
    }
    clearRunning();
    const std::size_t columns = terminalColumns();
    std::string block;
    int lines = 0;
    for (const auto& run : running_) {
        const FleetDeviceView view = run->panel->view();
        constexpr int kWidth = 20;
        const int filled =
            view.maximum > 0 ? std::min(view.position, view.maximum) * kWidth / view.maximum : 0;
        char bar[128];
        std::snprintf(bar, sizeof bar, "%-7s [%s%s] %d/%d", view.bar.c_str(),
                      std::string(static_cast<std::size_t>(filled), '#').c_str(),
                      std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(),
                      view.position, view.maximum);
        const std::string line =
            label(rows()[run->index]) + "  " + view.stage + "  " + (view.maximum > 0 ? bar : "");
        block += line.substr(0, columns) + "\n";
        ++lines;
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
                  interruptCount.load() > 0 ? " (interrupted: no new device starts)" : "");
    block += std::string(summary).substr(0, columns) + "\n";
    std::fputs(block.c_str(), stdout);
    std::fflush(stdout);
    drawnLines_ = lines + 1;
}

int Fleet::run() {
    saveReport();
    bool stopping = false;
    for (;;) {
        collectFinished();
        seenInterrupts_ = interruptCount.load();
        if (seenInterrupts_ >= 2) {
            // The runs still going are left where they are: the device stays
            // in its loader and a later run upgrades it again.
            report_.interrupted = true;
            for (auto& run : running_) {
                report_.outcomes[run->index].state = FleetState::Interrupted;
            }
            const int code = endFleet();
            std::fflush(nullptr);
            std::_Exit(code);
        }
        if (seenInterrupts_ == 1 && !stopping) {
            stopping = true;
            clearRunning();
            writeLine(stderr, std::string(kProgramName) +
                                  ": interrupted: no new device starts; the running ones finish "
                                  "(Ctrl-C again to stop at once)");
        }
        while (!stopping && static_cast<int>(running_.size()) < args_.jobs && startNext()) {
        }
        if (running_.empty()) {
            break;
        }
        drawRunning();
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(200), [this] {
            return interruptCount.load() != seenInterrupts_ ||
                   std::any_of(running_.begin(), running_.end(),
                               [](const auto& r) { return r->finished; });
        });
    }
    if (stopping) {
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
    const int code = notOk.empty() ? 0 : kFleetNotAllOk;
    if (args_.json) {
        std::string rowsText;
        for (const std::size_t i : notOk) {
            rowsText += (rowsText.empty() ? "" : ",") + std::to_string(rows()[i].row);
        }
        writeLine(stdout,
                  "{\"event\":\"result\",\"ok\":" + std::string(notOk.empty() ? "true" : "false") +
                      ",\"devices\":" + std::to_string(rows().size()) + ",\"not_ok\":[" + rowsText +
                      "],\"interrupted\":" + (report_.interrupted ? "true" : "false") +
                      ",\"report\":" + jsonString(reportPath_) +
                      ",\"exit\":" + std::to_string(code) + "}");
        return code;
    }
    writeLine(stdout, "fleet: " + std::to_string(rows().size() - notOk.size()) + " of " +
                          std::to_string(rows().size()) + " devices ok" +
                          (report_.interrupted ? " (interrupted)" : "") + "; report " +
                          reportPath_);
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
    return code;
}

}  // namespace

int runFleetCommand(const FleetArgs& args) {
    const auto language = languageIndexFromOption(args.lang);
    if (!language) {
        return fail(ExitCode::Usage,
                    "--lang \"" + oneLine(args.lang) + "\" is not one of en, zh-CN, zh-TW");
    }
    FleetDefaults defaults;
    defaults.file = args.file;
    defaults.languageIndex = *language;
    defaults.verify = !args.noVerify;
    defaults.skipErrors = args.skipErrors;
    defaults.v4 = !args.noV4;
    defaults.sn = args.sn;
    const FleetManifest manifest = loadFleetManifest(args.manifest, defaults);
    if (!manifest.problems.empty()) {
        for (const auto& problem : manifest.problems) {
            writeLine(stderr, std::string(kProgramName) + ": " + oneLine(args.manifest) + ": " +
                                  describe(problem));
        }
        return static_cast<int>(ExitCode::Usage);
    }
    std::string reportPath = args.report;
    if (reportPath.empty()) {
        const auto folder = pathFromUtf8(args.manifest).parent_path();
        reportPath = utf8FromPath(folder / "fleet-report.json");
    }
    std::map<std::string, FleetOutcome> earlier;
    if (!args.resume.empty()) {
        std::string error;
        earlier = readOkRows(args.resume, error);
        if (!error.empty()) {
            return fail(ExitCode::FileUnreadable, error);
        }
    }
    if (!args.logs.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(pathFromUtf8(args.logs), ec);
        if (ec || !std::filesystem::is_directory(pathFromUtf8(args.logs))) {
            return fail(ExitCode::CannotWrite, "cannot make the log folder " + oneLine(args.logs));
        }
    }

    ensureQtApplication();
    Fleet fleet(args, manifest.rows, *language, reportPath);
    for (std::size_t i = 0; i < manifest.rows.size(); ++i) {
        const FleetRow& row = manifest.rows[i];
        const auto found =
            earlier.find(resumeKey(row.linkColumn, row.linkText, row.id, row.sha256));
        if (found != earlier.end()) {
            fleet.report().outcomes[i] = found->second;
        }
    }
    const InterruptHandler interrupts(onInterrupt);
    return fleet.run();
}

}  // namespace flashmere::cli
