#include "frontend/run_recorder.h"

#include <QSysInfo>
#include <QUuid>
#include <filesystem>

#include "firmware/file_path.h"

#include "frontend/message_table.h"
#include "frontend/station_user.h"

namespace flashmere {

void RunRecorder::reachStage(Stage stage, bool& reached) {
    if (!reached && stageHook_) {
        reached = true;
        stageHook_(stage);
    }
}

OperatorOptions RunRecorder::captureOptions() {
    const OperatorOptions options = ForwardingPanel::captureOptions();
    options_ = options;
    reachStage(Stage::Started, started_);
    return options;
}

void RunRecorder::noteOptions(const OperatorOptions& options) {
    options_ = options;
    reachStage(Stage::Started, started_);
}

void RunRecorder::showMessage(MessageRow row) {
    if (row == MessageRow::msgProgramming) {
        reachStage(Stage::Writing, writing_);
    }
    ForwardingPanel::showMessage(row);
}

void RunRecorder::noteAnsweringDevice(const std::string& model, const std::string& serial) {
    answeredModel_ = model;
    answeredSerial_ = serial;
    ForwardingPanel::noteAnsweringDevice(model, serial);
}

void RunRecorder::showMessageReason(const std::string& reason) {
    ForwardingPanel::showMessageReason(reason);
}

void RunRecorder::setErrorCounter(ErrorCounter counter, int value) {
    const auto index = static_cast<std::size_t>(counter);
    if (index < counters_.size()) {
        counters_[index] = value;
    }
    ForwardingPanel::setErrorCounter(counter, value);
}

void RunRecorder::showDeviceField(DeviceField panel, const std::string& text) {
    const auto index = static_cast<std::size_t>(panel);
    if (index < panels_.size()) {
        panels_[index] = text;
    }
    ForwardingPanel::showDeviceField(panel, text);
}

RecordedRun::RecordedRun(OperatorPanel& panel, RunHistory history, QString frontEnd,
                         QString operation, std::string address)
    : recorder_(panel),
      history_(std::move(history)),
      frontEnd_(std::move(frontEnd)),
      operation_(std::move(operation)),
      address_(std::move(address)),
      run_(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      started_(QDateTime::currentDateTime()) {
    elapsed_.start();
    recorder_.onStage([this](RunRecorder::Stage stage) { writeStage(stage); });
}

// A line on disk before the device is touched, and one before it is
// changed: a run killed at any instant is still in the history, with how far
// it got. A read-back changes nothing, so it writes no second line.
void RecordedRun::writeStage(RunRecorder::Stage stage) {
    const bool writing = stage == RunRecorder::Stage::Writing;
    if (history_.folder().isEmpty() || (writing && operation_ == QLatin1String("readback"))) {
        return;
    }
    RunRecord r = record(image_);
    r.stage = QLatin1String(writing ? kStageWriting : kStageStarted);
    // A line that cannot be written is told with the run's ending, whose
    // line fails the same way.
    history_.append(r);
}

RunRecord RecordedRun::stoppedRecord(const QString& reason) const {
    RunRecord r;
    r.run = run_;
    r.stage = QLatin1String(kStageStopped);
    r.time = isoTimeWithOffset(started_);
    r.frontEnd = frontEnd_;
    r.operation = operation_;
    r.reason = reason;
    return r;
}

RunRecord RecordedRun::record(const FirmwareImage* image) const {
    RunRecord r;
    r.run = run_;
    r.time = isoTimeWithOffset(started_);
    r.user = stationUser();
    r.station = QSysInfo::machineHostName();
    r.frontEnd = frontEnd_;
    r.operation = operation_;
    if (const auto& options = recorder_.options()) {
        const bool net = options->linkKind == kLinkNet;
        r.link = net ? QStringLiteral("net") : QStringLiteral("com");
        const std::string named =
            net ? options->link.netIP + ":" + options->link.netPort : options->link.comPortName;
        r.address = textFromBytes(address_.empty() ? named : address_);
        r.mode = net ? QString() : textFromBytes(options->link.comBaudRate);
        r.id = options->deviceId;
    }
    r.deviceModel = textFromBytes(recorder_.devicePanel(DeviceField::Model));
    r.deviceName = textFromBytes(recorder_.devicePanel(DeviceField::Name));
    r.deviceVersion = textFromBytes(recorder_.devicePanel(DeviceField::FirmwareVersion));
    r.deviceSerial = textFromBytes(recorder_.devicePanel(DeviceField::SerialNumber));
    r.deviceVersionAfter = textFromBytes(versionAfter_);
    // A device of another model fills no panel; the record still names it.
    if (r.deviceModel.isEmpty() && r.deviceSerial.isEmpty()) {
        r.deviceModel = textFromBytes(recorder_.answeredModel());
        r.deviceSerial = textFromBytes(recorder_.answeredSerial());
    }
    if (image != nullptr && !image->firmwarePath.empty()) {
        // Absolute, so the record still names the file from another folder.
        std::error_code error;
        const auto absolute = std::filesystem::absolute(pathFromUtf8(image->firmwarePath), error);
        r.filePath = textFromBytes(error ? image->firmwarePath : utf8FromPath(absolute));
        r.fileName = textFromBytes(image->firmwareFileName);
        r.fileFirmware = textFromBytes(image->firmwareName);
        r.fileVersion = textFromBytes(image->firmwareVersion);
        r.fileSha256 = QString::fromLatin1(image->loadedSha256);
    }
    r.counters[0] = recorder_.counter(ErrorCounter::Erase);
    r.counters[1] = recorder_.counter(ErrorCounter::Program);
    r.counters[2] = recorder_.counter(ErrorCounter::Verify);
    r.seconds = static_cast<double>(elapsed_.elapsed()) / 1000.0;
    return r;
}

RunRecord RecordedRun::record(const FirmwareImage* image, const RunOutcome& outcome,
                              int exitCode) const {
    RunRecord r = record(image);
    r.message = QString::fromStdString(textOf(outcome.message, kLanguageEnglish));
    r.exit = exitCode;
    r.reason = textFromBytes(outcome.reason);
    return r;
}

QString RecordedRun::finish(const FirmwareImage* image, const RunOutcome& outcome, int exitCode) {
    const QString problem = history_.append(record(image, outcome, exitCode));
    if (problem.isEmpty() || !firstHistoryFailure()) {
        return {};
    }
    const QString where = history_.filePath().isEmpty() ? QString() : " " + history_.filePath();
    return QStringLiteral("the run was not written to the history%1: %2").arg(where, problem);
}

}  // namespace flashmere
