#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "firmware/firmware_image.h"
#include "frontend/run_history.h"
#include "operator/forwarding_panel.h"
#include "operator/run_outcome.h"

namespace flashmere {

// An operator panel in front of another: every call goes on to it unchanged,
// and what the run shows that the history keeps (the options it ran with,
// the device panels, the error counters) is noted on the way; the message
// and reason it ended with come with its outcome. Read what it noted after
// the run, on the run's thread.
class RunRecorder final : public ForwardingPanel {
  public:
    // The points of a run the history writes a line at.
    enum class Stage { Started, Writing };

    explicit RunRecorder(OperatorPanel& inner) : ForwardingPanel(inner) {}

    // The options of a run that does not ask the panel for them (the
    // service functions are given theirs).
    void noteOptions(const OperatorOptions& options);
    // Called once when the run's options are known (before the link opens)
    // and once when it shows "Programming ..." (before anything is erased).
    void onStage(std::function<void(Stage)> hook) { stageHook_ = std::move(hook); }

    const std::optional<OperatorOptions>& options() const { return options_; }
    const std::string& devicePanel(DeviceField panel) const {
        return panels_[static_cast<std::size_t>(panel)];
    }
    // The device that answered when it is not the one the run was for.
    const std::string& answeredModel() const { return answeredModel_; }
    const std::string& answeredSerial() const { return answeredSerial_; }
    int counter(ErrorCounter counter) const { return counters_[static_cast<std::size_t>(counter)]; }

    OperatorOptions captureOptions() override;
    void showMessage(MessageRow row) override;
    void showMessageReason(const std::string& reason) override;
    void setErrorCounter(ErrorCounter counter, int value) override;
    void showDeviceField(DeviceField panel, const std::string& text) override;
    void noteAnsweringDevice(const std::string& model, const std::string& serial) override;

  private:
    void reachStage(Stage stage, bool& reached);

    std::optional<OperatorOptions> options_;
    std::array<std::string, 6> panels_;
    std::array<int, 3> counters_{};
    std::string answeredModel_;
    std::string answeredSerial_;
    std::function<void(Stage)> stageHook_;
    bool started_ = false;
    bool writing_ = false;
};

// One run of a front end as the history gets it: the panel to run with (a
// recorder in front of the front end's own), the start time, and the record
// written when the run has ended.
class RecordedRun {
  public:
    // frontEnd: "window", "cli" or "fleet"; operation: "upgrade", "erase" or
    // "readback". address: the link as the user wrote it (an option, a
    // manifest cell); empty: the record names the link from the options the
    // run used.
    RecordedRun(OperatorPanel& panel, RunHistory history, QString frontEnd, QString operation,
                std::string address = {});
    RecordedRun(const RecordedRun&) = delete;
    RecordedRun& operator=(const RecordedRun&) = delete;

    OperatorPanel& panel() { return recorder_; }
    RunRecorder& recorder() { return recorder_; }

    // The firmware file the run is given, for the lines written before its
    // end; the image must outlive the run.
    void noteImage(const FirmwareImage* image) { image_ = image; }
    // The version the device reported when checked after the start.
    void noteVersionAfter(const std::string& version) { versionAfter_ = version; }

    // The record of the run so far, without an ending; image: the firmware
    // file it runs with, or null.
    RunRecord record(const FirmwareImage* image) const;
    // The record of the run that has ended with this outcome and exit code.
    RunRecord record(const FirmwareImage* image, const RunOutcome& outcome, int exitCode) const;
    // The line told when the run is stopped from outside while it writes
    // (a fleet stopped by a signal): it has the run's name and the reason,
    // and may be written from another thread than the run's.
    RunRecord stoppedRecord(const QString& reason) const;
    const RunHistory& history() const { return history_; }
    // Appends the record. Empty when it was written, or when a failure was
    // told before in this process; else the one warning to show.
    QString finish(const FirmwareImage* image, const RunOutcome& outcome, int exitCode);

  private:
    void writeStage(RunRecorder::Stage stage);

    RunRecorder recorder_;
    RunHistory history_;
    QString frontEnd_;
    QString operation_;
    std::string address_;
    QString run_;
    const FirmwareImage* image_ = nullptr;
    std::string versionAfter_;
    QDateTime started_;
    QElapsedTimer elapsed_;
};

}  // namespace flashmere
