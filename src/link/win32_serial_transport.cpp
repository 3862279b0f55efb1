#include "link/win32_serial_transport.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "link/serial_notes.h"

namespace flashmere {
namespace {

constexpr std::string_view kDevicePrefix = R"(\\.\)";
constexpr std::size_t kMaxPortName = 64;

std::wstring wideFromAscii(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Writes may take as long as the line needs for the bytes, with room to
// spare: one second plus twenty bit times a byte, as the other backends.
std::int64_t writeAllowanceMs(std::size_t bytes, std::uint32_t baudRate) {
    const std::int64_t baud = baudRate > 0 ? baudRate : 9600;
    return 1000 + static_cast<std::int64_t>(bytes) * 20 * 1000 / baud;
}

// MAXDWORD itself would mean "no time-out" (reads) or is no time at all to
// some drivers: one less is 49 days.
DWORD clampMs(std::int64_t ms) {
    return static_cast<DWORD>(std::clamp<std::int64_t>(ms, 0, MAXDWORD - 1));
}

COMMTIMEOUTS timeoutsFor(DWORD readMs, DWORD writeMs) {
    COMMTIMEOUTS t{};
    // MAXDWORD, MAXDWORD, n: return at once with what is waiting, else with
    // the first bytes to arrive, else after n ms with nothing. MAXDWORD, 0,
    // 0: return at once, with nothing if nothing is waiting.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = readMs > 0 ? MAXDWORD : 0;
    t.ReadTotalTimeoutConstant = readMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = writeMs;
    return t;
}

// Why the port did not open, with what to check.
std::string openFailure(DWORD error, const std::string& portName) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return serialMissingNote(portName);
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // Windows opens a COM port for one program at a time.
            return serialInUseNote(portName);
        default:
            return shownInNote(portName) + ": " + systemErrorText(error);
    }
}

// Applies the mode string to the open port, whose settings dcb holds;
// returns the note for the operator, empty when every setting took.
std::string configure(HANDLE port, DCB& dcb, const std::string& portName,
                      const std::string& modeString) {
    const auto mode = parseSerialMode(modeString);
    if (!mode) {
        applySerialMode(dcb, SerialMode{});
        SetCommState(port, &dcb);
        return serialModeNotUnderstoodNote(modeString);
    }
    DCB wanted = dcb;
    applySerialMode(wanted, *mode);
    if (SetCommState(port, &wanted)) {
        dcb = wanted;
        return {};
    }
    // The API does not say which field it refused: try them one by one.
    std::string refused;
    const auto tryField = [&](const char* what, SerialMode one) {
        DCB next = dcb;
        applySerialMode(next, one);
        if (SetCommState(port, &next)) {
            dcb = next;
        } else {
            refused += refused.empty() ? what : std::string(", ") + what;
        }
    };
    tryField("flow control", SerialMode{});
    tryField("baud rate", SerialMode{mode->baudRate, {}, {}, {}});
    tryField("parity", SerialMode{{}, mode->parity, {}, {}});
    tryField("data bits", SerialMode{{}, {}, mode->dataBits, {}});
    tryField("stop bits", SerialMode{{}, {}, {}, mode->stopBits});
    return refused.empty() ? std::string() : serialModeRefusedNote(modeString, portName, refused);
}

}  // namespace

std::optional<std::string> win32PortOpenPath(const std::string& portName) {
    std::string name = portName;
    if (name.starts_with(kDevicePrefix)) {
        name.erase(0, kDevicePrefix.size());
    }
    const auto portChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
    };
    if (name.empty() || name.size() > kMaxPortName ||
        !std::all_of(name.begin(), name.end(), portChar)) {
        return std::nullopt;
    }
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    if (name.size() > 3 && std::all_of(name.begin() + 3, name.end(), isDigit)) {
        std::string head = name.substr(0, 3);
        std::transform(head.begin(), head.end(), head.begin(), [](char c) {
            return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        });
        if (head == "COM") {
            name.replace(0, 3, head);
        }
    }
    return std::string(kDevicePrefix) + name;
}

void applySerialMode(DCB& dcb, const SerialMode& mode) {
    if (mode.baudRate) {
        dcb.BaudRate = *mode.baudRate;
    }
    if (mode.dataBits) {
        dcb.ByteSize = *mode.dataBits;
    }
    if (mode.parity) {
        switch (*mode.parity) {
            case SerialParity::None:
                dcb.Parity = NOPARITY;
                break;
            case SerialParity::Even:
                dcb.Parity = EVENPARITY;
                break;
            case SerialParity::Odd:
                dcb.Parity = ODDPARITY;
                break;
            case SerialParity::Mark:
                dcb.Parity = MARKPARITY;
                break;
            case SerialParity::Space:
                dcb.Parity = SPACEPARITY;
                break;
        }
    }
    if (mode.stopBits) {
        switch (*mode.stopBits) {
            case SerialStopBits::One:
                dcb.StopBits = ONESTOPBIT;
                break;
            case SerialStopBits::OneAndHalf:
                dcb.StopBits = ONE5STOPBITS;
                break;
            case SerialStopBits::Two:
                dcb.StopBits = TWOSTOPBITS;
                break;
        }
    }
    dcb.fBinary = TRUE;
    dcb.fParity = dcb.Parity != NOPARITY ? TRUE : FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

std::string utf8FromWide(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int wideLength = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 4));
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, out.data(), size, nullptr, nullptr);
    return out;
}

std::string systemErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text =
        length > 0 && buffer != nullptr ? utf8FromWide({buffer, length}) : std::string();
    LocalFree(buffer);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(error) : text;
}

Win32SerialTransport::Win32SerialTransport(HANDLE port, std::uint32_t baudRate)
    : port_(port), baudRate_(baudRate) {}

Win32SerialTransport::~Win32SerialTransport() {
    close();
}

std::unique_ptr<Win32SerialTransport> Win32SerialTransport::open(const std::string& portName,
                                                                 const std::string& modeString,
                                                                 TraceSink& trace,
                                                                 std::string* whyNot) {
    const auto fail = [&](std::string why) {
        if (whyNot != nullptr) {
            *whyNot = std::move(why);
        }
        return nullptr;
    };
    if (portName.empty()) {
        return fail("no port name given");
    }
    const auto path = win32PortOpenPath(portName);
    if (!path) {
        return fail(serialMissingNote(portName));
    }
    const HANDLE port = CreateFileW(wideFromAscii(*path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return fail(openFailure(GetLastError(), portName));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(port) != FILE_TYPE_CHAR || !GetCommState(port, &dcb)) {
        // A device, but not a serial port (NUL, CON, a printer).
        CloseHandle(port);
        return fail(shownInNote(portName) + " is not a serial port");
    }
    if (const std::string note = configure(port, dcb, portName, modeString); !note.empty()) {
        trace.linkNote(note);
    }
    std::unique_ptr<Win32SerialTransport> transport(new Win32SerialTransport(port, dcb.BaudRate));
    if (COMMTIMEOUTS before{}; GetCommTimeouts(port, &before)) {
        transport->savedTimeouts_ = before;
    }
    if (!transport->setTimeouts(0, writeAllowanceMs(0, dcb.BaudRate))) {
        return fail(shownInNote(portName) + ": " + systemErrorText(GetLastError()));
    }
    // Bytes the driver kept from before the open are stale.
    transport->discardInput();
    return transport;
}

bool Win32SerialTransport::connected() const {
    return port_ != INVALID_HANDLE_VALUE;
}

void Win32SerialTransport::discardInput() {
    if (connected()) {
        PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    }
}

bool Win32SerialTransport::setTimeouts(std::int64_t readMs, std::int64_t writeMs) {
    const std::pair wanted{clampMs(readMs), clampMs(writeMs)};
    if (timeoutsMs_ == wanted) {
        return true;
    }
    COMMTIMEOUTS timeouts = timeoutsFor(wanted.first, wanted.second);
    if (!SetCommTimeouts(port_, &timeouts)) {
        timeoutsMs_.reset();
        return false;
    }
    timeoutsMs_ = wanted;
    return true;
}

bool Win32SerialTransport::writeFailed(std::string why) {
    writeFailure_ = std::move(why);
    return false;
}

bool Win32SerialTransport::write(std::span<const std::uint8_t> bytes) {
    if (!connected()) {
        return writeFailed("the port is closed");
    }
    // The whole frame has one allowance: a driver that takes the bytes a few
    // at a time gets only what is left of it for the rest.
    const std::int64_t allowance = writeAllowanceMs(bytes.size(), baudRate_);
    const ULONGLONG start = GetTickCount64();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto left = allowance - static_cast<std::int64_t>(GetTickCount64() - start);
        if (left <= 0) {
            return writeFailed("the port did not send " + std::to_string(bytes.size()) +
                               " bytes within " + std::to_string(allowance) + " ms");
        }
        if (!setTimeouts(timeoutsMs_ ? timeoutsMs_->first : 0, left)) {
            return writeFailed(systemErrorText(GetLastError()));
        }
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(port_, bytes.data() + done, chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_SEM_TIMEOUT) {
                continue;  // the line is stalled, the port is there: the allowance decides
            }
            writeFailed(systemErrorText(error));
            closeAsLost(error);
            return false;
        }
        done += written;
    }
    return true;
}

std::optional<std::size_t> Win32SerialTransport::readQueued(std::span<std::uint8_t> out) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_, &errors, &status)) {
        closeAsLost(GetLastError());  // a port that no longer answers for its status is gone
        return std::nullopt;
    }
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(out.size(), status.cbInQue));
    DWORD got = 0;
    if (wanted > 0 && !ReadFile(port_, out.data(), wanted, &got, nullptr)) {
        closeAsLost(GetLastError());
        return std::nullopt;
    }
    return got;
}

std::size_t Win32SerialTransport::readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) {
    if (!connected() || out.empty()) {
        return 0;
    }
    // What is queued is taken at once. Otherwise the wait is a read of one
    // byte: Windows ends a read under these time-outs at the first byte, but
    // Wine ends it only when every byte asked for came or the time is up, so
    // a larger read would wait out the whole time-out with the reply there.
    const auto queued = readQueued(out);
    if (!queued || *queued > 0) {
        return queued.value_or(0);
    }
    if (!setTimeouts(timeoutMs, timeoutsMs_ ? timeoutsMs_->second : 0)) {
        closeAsLost(GetLastError());
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(port_, out.data(), 1, &got, nullptr)) {
        closeAsLost(GetLastError());
        return 0;
    }
    if (got == 0) {
        // A timed-out read is no fault of the line; the status call tells a
        // port that is gone.
        readQueued({});
        return 0;
    }
    return 1 + readQueued(out.subspan(1)).value_or(0);
}

void Win32SerialTransport::closeAsLost(DWORD error) {
    lossNote_ = serialLossNote(systemErrorText(error));
    close();
}

void Win32SerialTransport::close() {
    if (port_ != INVALID_HANDLE_VALUE) {
        PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
        if (savedTimeouts_) {
            SetCommTimeouts(port_, &*savedTimeouts_);
        }
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
}

}  // namespace flashmere
