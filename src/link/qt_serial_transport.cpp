#include "link/qt_serial_transport.h"

#include "link/serial_notes.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <QSerialPort>
#include <algorithm>
#include <climits>

namespace flashmere {
namespace {

int clampWait(std::int64_t ms) {
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX));
}

// Writes may take as long as the line needs for the bytes, with room to spare.
std::int64_t writeAllowanceMs(std::size_t bytes, qint32 baudRate) {
    const std::int64_t baud = baudRate > 0 ? baudRate : 9600;
    return 1000 + static_cast<std::int64_t>(bytes) * 20 * 1000 / baud;
}

// The device file of a port name: a bare name lives under /dev.
std::string devicePathOf(const std::string& portName) {
    return portName.front() == '/' ? portName : "/dev/" + portName;
}

}  // namespace

namespace {

// Why the port did not open. Qt reports a port locked by another program as
// a permission error too; only a device file we may not use calls for the
// group.
std::string openFailure(const QSerialPort& port, const std::string& portName) {
    switch (port.error()) {
        case QSerialPort::DeviceNotFoundError:
            return serialMissingNote(portName);
        case QSerialPort::PermissionError:
            return ::access(devicePathOf(portName).c_str(), R_OK | W_OK) == 0
                       ? serialInUseNote(portName)
                       : serialPermissionNote(portName);
        default:
            return shownInNote(portName) + ": " + shownInNote(port.errorString().toStdString());
    }
}

}  // namespace

std::string serialPermissionNote(const std::string& portName) {
    return "permission denied on " + shownInNote(portName) +
           ": add your user to the dialout group (sudo usermod -aG dialout $USER) and log in "
           "again";
}

std::string applySerialMode(QSerialPort& port, const SerialMode& mode) {
    std::string refused;
    const auto check = [&](bool ok, const char* what) {
        if (!ok) {
            refused += refused.empty() ? what : std::string(", ") + what;
        }
        port.clearError();
    };
    if (mode.baudRate) {
        check(port.setBaudRate(static_cast<qint32>(*mode.baudRate)), "baud rate");
    }
    if (mode.dataBits) {
        check(port.setDataBits(static_cast<QSerialPort::DataBits>(*mode.dataBits)), "data bits");
    }
    if (mode.parity) {
        QSerialPort::Parity parity = QSerialPort::NoParity;
        switch (*mode.parity) {
            case SerialParity::None:
                parity = QSerialPort::NoParity;
                break;
            case SerialParity::Even:
                parity = QSerialPort::EvenParity;
                break;
            case SerialParity::Odd:
                parity = QSerialPort::OddParity;
                break;
            case SerialParity::Mark:
                parity = QSerialPort::MarkParity;
                break;
            case SerialParity::Space:
                parity = QSerialPort::SpaceParity;
                break;
        }
        check(port.setParity(parity), "parity");
    }
    if (mode.stopBits) {
        QSerialPort::StopBits stop = QSerialPort::OneStop;
        switch (*mode.stopBits) {
            case SerialStopBits::One:
                stop = QSerialPort::OneStop;
                break;
            case SerialStopBits::OneAndHalf:
                stop = QSerialPort::OneAndHalfStop;
                break;
            case SerialStopBits::Two:
                stop = QSerialPort::TwoStop;
                break;
        }
        check(port.setStopBits(stop), "stop bits");
    }
    return refused;
}

QtSerialTransport::QtSerialTransport(std::unique_ptr<QSerialPort> port) : port_(std::move(port)) {}

QtSerialTransport::~QtSerialTransport() {
    close();
}

std::unique_ptr<QtSerialTransport> QtSerialTransport::open(const std::string& portName,
                                                           const std::string& modeString,
                                                           TraceSink& trace, std::string* whyNot) {
    if (portName.empty()) {
        if (whyNot != nullptr) {
            *whyNot = "no port name given";
        }
        return nullptr;
    }
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(QString::fromStdString(portName));
    if (!port->open(QIODevice::ReadWrite)) {
        if (whyNot != nullptr) {
            *whyNot = openFailure(*port, portName);
        }
        return nullptr;
    }
    // Flow control stays off: the devices use none, and a pty has no lines.
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (const auto mode = parseSerialMode(modeString)) {
        const std::string refused = applySerialMode(*port, *mode);
        if (!refused.empty()) {
            trace.linkNote(serialModeRefusedNote(modeString, portName, refused));
        }
    } else {
        trace.linkNote(serialModeNotUnderstoodNote(modeString));
    }
    port->clearError();
    // Bytes the driver kept from before the open are stale.
    port->clear(QSerialPort::AllDirections);
    return std::unique_ptr<QtSerialTransport>(new QtSerialTransport(std::move(port)));
}

bool QtSerialTransport::connected() const {
    return port_ && port_->isOpen();
}

void QtSerialTransport::discardInput() {
    if (connected()) {
        port_->clear(QSerialPort::AllDirections);
    }
}

bool QtSerialTransport::writeFailed(std::string why) {
    if (port_ && port_->error() != QSerialPort::NoError) {
        why += " (" + port_->errorString().toStdString() + ")";
    }
    writeFailure_ = std::move(why);
    closeOnFatalError();
    return false;
}

bool QtSerialTransport::write(std::span<const std::uint8_t> bytes) {
    if (!connected()) {
        writeFailure_ = "the port is closed";
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    const qint64 queued = port_->write(reinterpret_cast<const char*>(bytes.data()),
                                       static_cast<qint64>(bytes.size()));
    if (queued != static_cast<qint64>(bytes.size())) {
        return writeFailed("the port took " + std::to_string(std::max<qint64>(queued, 0)) + " of " +
                           std::to_string(bytes.size()) + " bytes");
    }
    QElapsedTimer timer;
    timer.start();
    const std::int64_t allowance = writeAllowanceMs(bytes.size(), port_->baudRate());
    while (port_->bytesToWrite() > 0) {
        const std::int64_t left = allowance - timer.elapsed();
        if (left <= 0 || !port_->waitForBytesWritten(clampWait(left))) {
            return writeFailed("the port did not send " + std::to_string(bytes.size()) +
                               " bytes within " + std::to_string(allowance) + " ms");
        }
    }
    return true;
}

std::size_t QtSerialTransport::readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) {
    if (!connected() || out.empty()) {
        return 0;
    }
    if (port_->bytesAvailable() == 0 && !port_->waitForReadyRead(clampWait(timeoutMs))) {
        // A timed-out wait is no fault of the line; a read error is.
        if (closeOnFatalError()) {
            return 0;
        }
    }
    const qint64 got =
        port_->read(reinterpret_cast<char*>(out.data()), static_cast<qint64>(out.size()));
    if (got < 0) {
        closeOnFatalError();
        return 0;
    }
    return static_cast<std::size_t>(got);
}

bool QtSerialTransport::closeOnFatalError() {
    if (!port_) {
        return true;
    }
    const auto error = port_->error();
    if (error == QSerialPort::ReadError || error == QSerialPort::ResourceError) {
        // Qt 6.4 keeps reporting read errors on a hung-up port without end;
        // the line is gone, so the port is closed on the first one.
        lossNote_ = serialLossNote(port_->errorString().toStdString());
        close();
        return true;
    }
    port_->clearError();
    return false;
}

void QtSerialTransport::close() {
    if (port_) {
        if (port_->isOpen()) {
            port_->clear(QSerialPort::AllDirections);
            port_->close();
        }
        port_.reset();
    }
}

}  // namespace flashmere
