#include "shell/device_runner.h"

#include <QMetaObject>
#include <QThread>
#include <utility>

#include "frontend/after_start_report.h"
#include "frontend/exit_codes.h"
#include "frontend/stoppable_transports.h"
#include "frontend/worker_thread.h"
#include "link/qt_transport_factory.h"
#include "service/next_unit.h"
#include "service/other_family.h"

namespace flashmere {

DeviceRun defaultDeviceRun() {
    return [](DeviceRunContext& context) { return upgradeDevice(context); };
}

std::unique_ptr<TransportFactory> defaultTransports() {
    return std::make_unique<QtTransportFactory>();
}

DeviceRunner::DeviceRunner(OperatorPanel& panel, TransportSource transports, Clock& clock,
                           std::function<void()> beforeEnd)
    : panel_(panel),
      transports_(std::move(transports)),
      clock_(clock),
      beforeEnd_(std::move(beforeEnd)) {}

DeviceRunner::~DeviceRunner() {
    if (worker_ != nullptr) {
        worker_->wait();
        delete worker_;
        worker_ = nullptr;
    }
}

std::unique_ptr<TransportFactory> DeviceRunner::openTransports() const {
    std::unique_ptr<TransportFactory> transports;
    if (transports_) {
        transports = transports_();
    }
    if (!transports) {
        transports = defaultTransports();
    }
    if (stop_) {
        return std::make_unique<StoppableTransports>(std::move(transports), stop_);
    }
    return transports;
}

bool DeviceRunner::start(std::function<void()> work, std::function<void(bool)> done) {
    if (running()) {
        return false;
    }
    worker_ = new WorkerThread([this, work = std::move(work), done = std::move(done)] {
        bool threw = false;
        try {
            work();
        } catch (...) {
            threw = true;
        }
        // Queued after every call the operation made through the panel, so
        // the window has shown them all when done runs.
        QMetaObject::invokeMethod(
            &ends_, [this, done, threw] { end(done, threw); }, Qt::QueuedConnection);
    });
    worker_->setObjectName("deviceRun");
    worker_->start();
    return true;
}

void DeviceRunner::end(const std::function<void(bool)>& done, bool threw) {
    if (beforeEnd_) {
        beforeEnd_();
    }
    if (worker_ != nullptr) {
        worker_->wait();
        delete worker_;
        worker_ = nullptr;
    }
    done(threw);
}

std::unique_ptr<RecordedRun> DeviceRunner::recordedRun(const char* operation) {
    return std::make_unique<RecordedRun>(panel_, history_.value_or(RunHistory(QString())),
                                         QStringLiteral("window"), QString::fromLatin1(operation));
}

void DeviceRunner::recordEnd(RecordedRun& run, const FirmwareImage* image,
                             const RunOutcome& outcome) {
    recordEnd(run, image, outcome, exitStatus(exitCodeOf(outcome.ending)));
}

void DeviceRunner::recordEnd(RecordedRun& run, const FirmwareImage* image,
                             const RunOutcome& outcome, int exitCode) {
    if (!history_) {
        return;
    }
    const QString warning =
        run.finish(image, outcome, exitCodeOfRun(exitCode, stop_ && stop_->requested()));
    if (!warning.isEmpty()) {
        const std::string& reason = outcome.reason;
        panel_.showMessageReason((reason.empty() ? "" : reason + "\n") + warning.toStdString());
    }
}

bool DeviceRunner::upgrade(DeviceRun run, FirmwareImage& image,
                           std::function<void(const RunOutcome&, bool)> done) {
    auto result = std::make_shared<RunOutcome>(
        RunOutcome{RunEnding::NoAnswer, MessageRow::msgConnectError, {}, false});
    return start(
        [this, run = std::move(run), &image, result] {
            auto transports = openTransports();
            const auto recorded = recordedRun("upgrade");
            image.loadedSha256.clear();  // the hash of this run's load, if it loads
            recorded->noteImage(&image);
            DeviceRunContext context{recorded->panel(), *transports, clock_, image};
            context.askOtherFamily = [this, &transports, &image](const OperatorOptions& options,
                                                                 std::uint16_t id) {
                return askOtherFamily(*transports, clock_, panel_, options, id, image.modelCode);
            };
            *result = run(context);
            const int exitCode = checkAfterRun(*recorded, *transports, image, *result);
            recordEnd(*recorded, &image, *result, exitCode);
        },
        [result, done = std::move(done)](bool threw) { done(*result, threw); });
}

int DeviceRunner::checkAfterRun(RecordedRun& run, TransportFactory& transports,
                                const FirmwareImage& image, RunOutcome& result) {
    afterStart_.reset();
    const int exitCode = exitStatus(exitCodeOf(result.ending));
    const auto& options = run.recorder().options();
    if (!options) {
        return exitCode;
    }
    afterStart_ = checkAfterUpgrade(run, transports, clock_, *options, image, result,
                                    stop_ && stop_->requested(), afterStartWaitMs_);
    if (!afterStart_) {
        return exitCode;
    }
    // The version panel shows what the device reports now; the record
    // keeps the version it had before beside version_after.
    if (afterStart_->answered) {
        panel_.showDeviceField(DeviceField::FirmwareVersion, afterStart_->version);
    }
    if (!afterStart_->passed) {
        panel_.setLamp(LampColour::Red);
    }
    return tellAfterStartCheck(run, *afterStart_, result, exitCode);
}

bool DeviceRunner::query(const OperatorOptions& options, DeviceQuery query,
                         std::function<void()> done) {
    return start(
        [this, options, query] {
            auto transports = openTransports();
            ServiceContext context{panel_, *transports, clock_, options};
            runDeviceQuery(context, query);
        },
        [done = std::move(done)](bool) { done(); });
}

bool DeviceRunner::loadEraseImage(FirmwareImage& image, bool fromChosenFile,
                                  std::function<void(bool)> done) {
    auto loaded = std::make_shared<bool>(false);
    return start(
        [this, &image, fromChosenFile, loaded] {
            // The image is read from the file now, whatever an earlier
            // upgrade left in the page store.
            if (fromChosenFile) {
                const ImageLoad load = loadFirmwareImage(image);
                if (!load.ok()) {
                    panel_.showMessage(MessageRow::msgLoadFileError);
                    panel_.showMessageReason(describeImageLoad(load, image.modelCode));
                    return;
                }
            } else {
                image.pageCount = 0;
            }
            *loaded = true;
        },
        [loaded, done = std::move(done)](bool threw) { done(!threw && *loaded); });
}

bool DeviceRunner::erase(const OperatorOptions& options, int eraseErrors, FirmwareImage& image,
                         std::function<void(bool)> done) {
    return start(
        [this, options, eraseErrors, &image] {
            auto transports = openTransports();
            const auto recorded = recordedRun("erase");
            recorded->noteImage(&image);
            recorded->recorder().noteOptions(options);
            ServiceContext context{recorded->panel(), *transports, clock_, options, eraseErrors};
            const EraseResult result = eraseDeviceBlocks(context, image);
            recordEnd(*recorded, &image, result.outcome);
        },
        std::move(done));
}

bool DeviceRunner::readBack(const OperatorOptions& options, std::uint16_t modelCode,
                            std::string folder, std::function<void(const ReadBackResult&)> done) {
    auto result = std::make_shared<ReadBackResult>();
    return start(
        [this, options, modelCode, folder = std::move(folder), result] {
            auto transports = openTransports();
            const auto recorded = recordedRun("readback");
            recorded->recorder().noteOptions(options);
            ServiceContext context{recorded->panel(), *transports, clock_, options};
            *result = readBackDevice(context, modelCode, folder);
            recordEnd(*recorded, nullptr, result->outcome);
        },
        [result, done = std::move(done)](bool) { done(*result); });
}

bool DeviceRunner::waitForNextUnit(const OperatorOptions& options, std::string lastSerial,
                                   std::shared_ptr<const StopRequest> waitStop,
                                   std::function<void(bool)> done) {
    auto arrived = std::make_shared<bool>(false);
    return start(
        [this, options, lastSerial = std::move(lastSerial), waitStop, arrived] {
            auto transports = openTransports();
            *arrived = flashmere::waitForNextUnit(
                *transports, clock_, options, lastSerial, [this, &waitStop] {
                    return (stop_ && stop_->requested()) || (waitStop && waitStop->requested());
                });
        },
        [arrived, done = std::move(done)](bool threw) { done(!threw && *arrived); });
}

}  // namespace flashmere
