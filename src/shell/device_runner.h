#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "firmware/firmware_image.h"
#include "frontend/run_recorder.h"
#include "frontend/stop_request.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/message_row.h"
#include "operator/operator_panel.h"
#include "service/after_start_check.h"
#include "service/service_functions.h"
#include "upgrade/upgrade_run.h"

class QThread;

namespace flashmere {

// The device operation behind the Upgrade button, given the panel, the links,
// the clock and the image; it runs on a worker thread.
using DeviceRun = std::function<RunOutcome(DeviceRunContext& context)>;

// Opens the device links of one operation. Called on the operation's worker
// thread, which then owns the transports.
using TransportSource = std::function<std::unique_ptr<TransportFactory>()>;

// The upgrade engine.
DeviceRun defaultDeviceRun();

// Qt serial and TCP transports.
std::unique_ptr<TransportFactory> defaultTransports();

// The window's device operations: the upgrade, the three queries, the erase
// and the read-back. Each runs on a worker thread and reaches the window only
// through the panel; its done call comes on the runner's thread (the
// window's) once the worker has ended, after every panel call the operation
// made. One operation at a time: a start while one runs is refused.
class DeviceRunner {
  public:
    // beforeEnd runs on the runner's thread before each done call (the
    // window shows what its panel still holds back). Empty transports: Qt.
    DeviceRunner(OperatorPanel& panel, TransportSource transports, Clock& clock,
                 std::function<void()> beforeEnd = {});
    // Waits for the running operation; its done call is dropped.
    ~DeviceRunner();
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    // Every upgrade, erase and read-back from now on is recorded in this
    // history; without it none is.
    void keepHistory(RunHistory history) { history_ = std::move(history); }

    // Every operation from now on ends at its next exchange once stop is
    // requested, and is recorded as stopped when it failed.
    void stopWhen(std::shared_ptr<const StopRequest> stop) { stop_ = std::move(stop); }

    // How long the check after the start asks a silent device.
    void setAfterStartWait(std::int64_t waitMs) { afterStartWaitMs_ = waitMs; }
    // The check after the start of the last upgrade, read in its done call;
    // nullopt when it was not made (the box off, the run not ok).
    const std::optional<AfterStartCheck>& afterStartCheck() const { return afterStart_; }

    // From the start of an operation until just before its done call.
    bool running() const { return worker_ != nullptr; }

    // Each returns false, and starts nothing, while an operation runs.
    // done: threw is true when the operation ended with an exception.
    bool upgrade(DeviceRun run, FirmwareImage& image,
                 std::function<void(const RunOutcome& result, bool threw)> done);
    bool query(const OperatorOptions& options, DeviceQuery query, std::function<void()> done);
    // The erase's first step: the image read anew from the chosen file when
    // fromChosenFile (the erase covers its pages), else an empty image.
    // loaded is false when the file could not be read (shown on the panel).
    bool loadEraseImage(FirmwareImage& image, bool fromChosenFile,
                        std::function<void(bool loaded)> done);
    bool erase(const OperatorOptions& options, int eraseErrors, FirmwareImage& image,
               std::function<void(bool threw)> done);
    bool readBack(const OperatorOptions& options, std::uint16_t modelCode, std::string folder,
                  std::function<void(const ReadBackResult& result)> done);

    // Asks the link quietly, with identification requests only, until the
    // next unit answers at the options' ID (next_unit.h), the stop request comes
    // or waitStop comes (the operator stops waiting); arrived is false then.
    bool waitForNextUnit(const OperatorOptions& options, std::string lastSerial,
                         std::shared_ptr<const StopRequest> waitStop,
                         std::function<void(bool arrived)> done);

  private:
    bool start(std::function<void()> work, std::function<void(bool threw)> done);
    void end(const std::function<void(bool threw)>& done, bool threw);
    std::unique_ptr<TransportFactory> openTransports() const;
    // The run recorded, in front of the window's panel.
    std::unique_ptr<RecordedRun> recordedRun(const char* operation);
    // Writes the record of an ended run; a history that cannot be written is
    // told once, beside the run's reason.
    // exitCode: the code of the outcome's ending unless given.
    void recordEnd(RecordedRun& run, const FirmwareImage* image, const RunOutcome& outcome);
    void recordEnd(RecordedRun& run, const FirmwareImage* image, const RunOutcome& outcome,
                   int exitCode);
    // The check after the start when the run's options ask for it, told on
    // the panel and added to the outcome's reason; the run's exit code (19
    // when the check failed).
    int checkAfterRun(RecordedRun& run, TransportFactory& transports, const FirmwareImage& image,
                      RunOutcome& result);

    OperatorPanel& panel_;
    TransportSource transports_;
    Clock& clock_;
    std::function<void()> beforeEnd_;
    std::optional<RunHistory> history_;
    std::shared_ptr<const StopRequest> stop_;
    std::int64_t afterStartWaitMs_ = kAfterStartWaitMs;
    // Written on the worker, read once it has ended.
    std::optional<AfterStartCheck> afterStart_;
    QThread* worker_ = nullptr;
    // The receiver of the queued ends; a runner gone drops them.
    QObject ends_;
};

}  // namespace flashmere
