#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "link/serial_mode.h"
#include "link/transport.h"

namespace flashmere {

// A serial port through the Win32 communications API, used with blocking
// reads and writes bounded by COMMTIMEOUTS. No thread or event loop is
// needed; every call happens on the thread that opened the port.
class Win32SerialTransport final : public Transport {
  public:
    // Opens the port named portName: "COM3", "com3" or "\\.\COM3". Applies
    // the settings of modeString; a string that does not parse leaves the
    // port's settings alone and is reported through trace.linkNote, as is a
    // setting the port refuses. Returns nullptr, with nothing left open, when
    // the port cannot be opened; *whyNot (when given) then tells why: no such
    // port, in use by another program, not a port name.
    static std::unique_ptr<Win32SerialTransport> open(const std::string& portName,
                                                      const std::string& modeString,
                                                      TraceSink& trace,
                                                      std::string* whyNot = nullptr);
    ~Win32SerialTransport() override;
    Win32SerialTransport(const Win32SerialTransport&) = delete;
    Win32SerialTransport& operator=(const Win32SerialTransport&) = delete;

    bool connected() const override;
    void discardInput() override;
    bool write(std::span<const std::uint8_t> bytes) override;
    std::string writeFailure() const override { return writeFailure_; }
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override;
    void close() override;
    std::string lossNote() const override { return lossNote_; }

  private:
    Win32SerialTransport(HANDLE port, std::uint32_t baudRate);
    // The port failed (a read, write or status call returned an error, e.g.
    // the adapter was pulled): notes the system's words and closes it.
    void closeAsLost(DWORD error);
    bool setTimeouts(std::int64_t readMs, std::int64_t writeMs);
    // The bytes the driver holds now, at most out.size(); the read does not
    // wait. nullopt when the port failed (and is closed).
    std::optional<std::size_t> readQueued(std::span<std::uint8_t> out);
    bool writeFailed(std::string why);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::uint32_t baudRate_ = 0;
    // The read and write time-outs COMMTIMEOUTS now holds, in ms.
    std::optional<std::pair<DWORD, DWORD>> timeoutsMs_;
    // The port's time-outs before the open, given back at the close: Windows
    // drivers keep them for the next program that opens the port.
    std::optional<COMMTIMEOUTS> savedTimeouts_;
    std::string lossNote_;
    std::string writeFailure_;
};

// The device path of a port name: "COM3", "com3" and "\\.\COM3" all give
// "\\.\COM3" (COM in capitals; other device names, e.g. of virtual port
// drivers, are kept as typed). nullopt for anything that is not a device
// name (empty, a path, characters no port name has).
std::optional<std::string> win32PortOpenPath(const std::string& portName);

// Writes the fields of mode that are set into dcb; fields mode leaves out
// keep what dcb holds. Also sets what every port of ours needs whatever the
// mode: binary transfer and no flow control of any kind (the devices use
// none, and a pseudo-terminal has no modem lines).
void applySerialMode(DCB& dcb, const SerialMode& mode);

// UTF-16 text of the system as UTF-8.
std::string utf8FromWide(std::wstring_view text);

// The system's text for an error code, in UTF-8 and on one line.
std::string systemErrorText(DWORD error);

}  // namespace flashmere
