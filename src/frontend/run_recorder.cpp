#include "frontend/run_recorder.h"

#include <QSysInfo>
#include <filesystem>

#include "firmware/file_path.h"

#include "frontend/message_table.h"
#include "frontend/station_user.h"

namespace flashmere {

OperatorOptions RunRecorder::captureOptions() {
    const OperatorOptions options = inner_.captureOptions();
    options_ = options;
    return options;
}

void RunRecorder::showMessage(MessageRow row) {
    message_ = row;
    reason_.clear();
    inner_.showMessage(row);
}

void RunRecorder::showMessageReason(const std::string& reason) {
    reason_ = reason;
    inner_.showMessageReason(reason);
}

void RunRecorder::setErrorCounter(ErrorCounter counter, int value) {
    const auto index = static_cast<std::size_t>(counter);
    if (index < counters_.size()) {
        counters_[index] = value;
    }
    inner_.setErrorCounter(counter, value);
}

void RunRecorder::showDeviceField(DeviceField panel, const std::string& text) {
    const auto index = static_cast<std::size_t>(panel);
    if (index < panels_.size()) {
        panels_[index] = text;
    }
    inner_.showDeviceField(panel, text);
}

RecordedRun::RecordedRun(OperatorPanel& panel, RunHistory history, QString frontEnd,
                         QString operation, std::string address)
    : recorder_(panel),
      history_(std::move(history)),
      frontEnd_(std::move(frontEnd)),
      operation_(std::move(operation)),
      address_(std::move(address)),
      started_(QDateTime::currentDateTime()) {
    elapsed_.start();
}

RunRecord RecordedRun::record(const FirmwareImage* image, int exitCode) const {
    RunRecord r;
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
    if (const auto& row = recorder_.lastMessage()) {
        r.message = QString::fromStdString(textOf(*row, kLanguageEnglish));
    }
    r.exit = exitCode;
    r.reason = textFromBytes(recorder_.reason());
    r.counters[0] = recorder_.counter(ErrorCounter::Erase);
    r.counters[1] = recorder_.counter(ErrorCounter::Program);
    r.counters[2] = recorder_.counter(ErrorCounter::Verify);
    r.seconds = static_cast<double>(elapsed_.elapsed()) / 1000.0;
    return r;
}

QString RecordedRun::finish(const FirmwareImage* image, int exitCode) {
    const QString problem = history_.append(record(image, exitCode));
    if (problem.isEmpty() || !firstHistoryFailure()) {
        return {};
    }
    const QString where = history_.filePath().isEmpty() ? QString() : " " + history_.filePath();
    return QStringLiteral("the run was not written to the history%1: %2").arg(where, problem);
}

}  // namespace flashmere
