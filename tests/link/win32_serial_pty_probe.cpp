// The Win32 serial backend against the device simulator: run by
// win32_serial_pty_test.sh under Wine, with the COM port that the test's
// Wine prefix maps to the simulator's pseudo-terminal (an 8401 at ID 3).
// Tells the script, on a line of its own, when to hang up the line, and
// when it is done; exits 0 when every check held.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "link/link_channel.h"
#include "link/serial_backend.h"
#include "link/serial_notes.h"
#include "link/win32_serial_transport.h"

namespace flashmere {
namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    failures += ok ? 0 : 1;
}

class SerialOnlyFactory final : public TransportFactory {
  public:
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString,
                                          TraceSink& trace) override {
        return openSerialPort(portName, modeString, trace, &failure_);
    }
    std::unique_ptr<Transport> openTcp(const std::string&, std::uint16_t, std::int64_t) override {
        return nullptr;
    }
    std::string lastOpenFailure() const override { return failure_; }

  private:
    std::string failure_;
};

class NoteRecorder final : public TraceSink {
  public:
    void setSentTrace(const std::string&) override {}
    void setReceivedTrace(const std::string&) override {}
    void linkNote(const std::string& text) override { notes += text + "; "; }
    std::string notes;
};

std::int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Wine lists in SERIALCOMM only the ports it found itself (/dev/ttyS*,
// /dev/ttyUSB*), not a dosdevices link made by hand; the probe registers
// COM9 as a Windows serial driver does when its port appears, and COM10
// beside it, which must be listed after COM9.
void registerPorts() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        check(false, "register the test's ports in SERIALCOMM");
        return;
    }
    for (const auto& [device, port] : {std::pair{L"\\Device\\FlashmereTest10", L"COM10"},
                                       std::pair{L"\\Device\\FlashmereTest9", L"COM9"}}) {
        RegSetValueExW(key, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>((std::wcslen(port) + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void checkListed(const std::string& port) {
    registerPorts();
    std::vector<std::string> names;
    bool listed = false;
    for (const SerialPortEntry& entry : listSerialPorts()) {
        names.push_back(entry.name);
        listed = listed || (entry.name == port && entry.path == R"(\\.\)" + port);
    }
    check(listed, port + " is in the port list with its device path");
    const auto at = [&](const char* name) { return std::find(names.begin(), names.end(), name); };
    check(at("COM9") < at("COM10") && at("COM10") != names.end(), "COM9 is listed before COM10");
}

// Wine lets a second handle open a COM port; Windows' serial drivers refuse
// it, which the tool reports as a port in use.
bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void checkExchanges(LinkChannel& link) {
    // The reply is taken as it comes: an exchange that waited for its read's
    // time-out would take the whole silence limit.
    const auto asked = std::chrono::steady_clock::now();
    check(exchangeBinaryFrame(link, 3, 0x0001) && link.reply.payloadLength == 8 &&
              link.reply.payload[0] == 0x84 && link.reply.payload[1] == 0x01 &&
              link.reply.address == 3,
          "identification of the 8401 at ID 3");
    const std::int64_t answered = msSince(asked);
    check(answered < kSilenceLimitMs / 2,
          "the reply was taken after " + std::to_string(answered) + " ms");
    // No device at ID 4: the read waits out the silence limit, no less.
    const auto start = std::chrono::steady_clock::now();
    check(!exchangeBinaryFrame(link, 4, 0x0002), "no reply from ID 4");
    const std::int64_t waited = msSince(start);
    check(waited >= kSilenceLimitMs - 50 && waited < kSilenceLimitMs + 1500,
          "the silence limit took " + std::to_string(waited) + " ms");
    check(exchangeBinaryFrame(link, 3, 0x0001), "ID 3 answers again after the silence");
}

void checkHangUp(LinkChannel& link, const std::string& port) {
    std::printf("hang up %s now\n", port.c_str());
    std::fflush(stdout);
    // Each exchange waits at most the silence limit; the simulator ends
    // within a second of being told.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20 && !link.lost() && msSince(start) < 20000; ++i) {
        exchangeBinaryFrame(link, 3, 0x0001);
    }
    check(link.lost(),
          "the hung-up line is a lost link after " + std::to_string(msSince(start)) + " ms");
    check(link.lossNote().rfind(serialLossNote(""), 0) == 0 &&
              link.lossNote().size() > serialLossNote("").size(),
          "loss note: " + link.lossNote());
    const auto again = std::chrono::steady_clock::now();
    check(!exchangeBinaryFrame(link, 3, 0x0001) && msSince(again) < 100,
          "a lost link fails at once");
}

// Tells the script what to do to the simulator and waits until it says done.
bool askScript(const std::string& what) {
    std::printf("%s now\n", what.c_str());
    std::fflush(stdout);
    char line[64] = {};
    return std::fgets(line, sizeof line, stdin) != nullptr;
}

// A device that stops reading (its process stopped) leaves a large frame
// stuck once the line's buffers are full: the write ends within its
// allowance (one second plus twenty bit times a byte) with the reason, and
// the port stays open.
void checkStalledWrite(LinkChannel& link) {
    if (!askScript("stop the device")) {
        check(false, "the script stopped the device");
        return;
    }
    const std::vector<std::uint8_t> frame(200 * 1024, 0x55);
    const std::int64_t allowance = 1000 + static_cast<std::int64_t>(frame.size()) * 20 / 921;
    std::printf("writing %zu bytes\n", frame.size());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    link.sendRaw(frame);
    const std::int64_t took = msSince(start);
    check(link.writeFailure().find("did not send 204800 bytes within") != std::string::npos,
          "the stalled write failed: " + link.writeFailure());
    check(took < allowance + 1000, "the stalled write ended after " + std::to_string(took) + " ms");
    check(link.connected(), "the port stays open after a stalled write");
    askScript("continue the device");
}

// The last line: Wine's helper processes may hold the output open after the
// probe ended, so the script stops reading here.
int finish() {
    std::printf("probe done, %d failed\n", failures);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

int run(const std::string& port) {
    checkListed(port);
    SerialOnlyFactory factory;
    NoteRecorder trace;
    LinkChannel link(factory, systemClock(), trace);
    link.linkKind = kLinkCom;
    link.settings.comPortName = port;
    link.settings.comBaudRate = "115200,n,8,1";
    check(link.openLink(), "open " + port + ": " + link.openFailure());
    if (!link.connected()) {
        return finish();
    }
    // The port took every setting (no flow control, DTR and RTS simply on).
    check(trace.notes.empty(), "settings taken: " + trace.notes);
    checkExchanges(link);
    link.closeLink();
    link.settings.comBaudRate = "921600,n,8,1";
    check(link.openLink(), "open " + port + " at 921600");
    checkStalledWrite(link);
    if (underWine()) {
        std::printf("skip a second open of %s: Wine does not refuse one\n", port.c_str());
    } else {
        std::string why;
        check(openSerialPort(port, "115200,n,8,1", trace, &why) == nullptr &&
                  why == serialInUseNote(port),
              "a second open is refused: " + why);
    }
    checkHangUp(link, port);
    return finish();
}

}  // namespace
}  // namespace flashmere

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: win32_serial_pty_probe COMn\n");
        return 2;
    }
    return flashmere::run(argv[1]);
}
