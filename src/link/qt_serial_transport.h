#pragma once

#include <memory>
#include <span>
#include <string>

#include "link/serial_mode.h"
#include "link/serial_notes.h"
#include "link/transport.h"

class QSerialPort;

namespace flashmere {

// A serial port through QSerialPort, used with blocking waits. Create and use
// it on one thread that has a Qt event dispatcher (a QThread, or the main
// thread once the application object exists); no event loop needs to run.
class QtSerialTransport final : public Transport {
  public:
    // Opens the port named portName: a bare name ("ttyUSB0") or a path
    // ("/dev/pts/7"). Applies the settings of modeString; a string that does
    // not parse leaves the port's settings alone and is reported through
    // trace.linkNote, as is a setting the port refuses. Returns nullptr, with
    // nothing left open, when the port cannot be opened; *whyNot (when given)
    // then tells why: no such port, no permission, in use by another program.
    static std::unique_ptr<QtSerialTransport> open(const std::string& portName,
                                                   const std::string& modeString, TraceSink& trace,
                                                   std::string* whyNot = nullptr);
    ~QtSerialTransport() override;
    QtSerialTransport(const QtSerialTransport&) = delete;
    QtSerialTransport& operator=(const QtSerialTransport&) = delete;

    bool connected() const override;
    void discardInput() override;
    bool write(std::span<const std::uint8_t> bytes) override;
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override;
    void close() override;
    std::string lossNote() const override { return lossNote_; }
    std::string writeFailure() const override { return writeFailure_; }

  private:
    explicit QtSerialTransport(std::unique_ptr<QSerialPort> port);
    // Closes the port when its last error means the line is gone (a read or
    // resource error, e.g. the far end hung up or the adapter was pulled);
    // clears any other error. True when the port was closed.
    bool closeOnFatalError();

    bool writeFailed(std::string why);

    std::unique_ptr<QSerialPort> port_;
    std::string lossNote_;
    std::string writeFailure_;
};

// The note for a serial port the user may not open (its device file is not
// readable and writable for them): on Debian, ports belong to the dialout
// group.
std::string serialPermissionNote(const std::string& portName);

// Applies the fields of mode that are set. Returns the names of the settings
// the port refused ("parity", "stop bits", ...), empty when it took them all.
std::string applySerialMode(QSerialPort& port, const SerialMode& mode);

}  // namespace flashmere
