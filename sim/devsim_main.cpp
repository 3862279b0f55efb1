// flashmere-devsim: a simulated field device on a TCP port, a pseudo-terminal
// or a serial port, for end-to-end tests, benchmarks and demonstrations.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "sim_bus.h"

#ifndef FLASHMERE_VERSION
#define FLASHMERE_VERSION "0"
#endif

namespace {

using namespace flashmere;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Hexadecimal option text ("8401", "0x8401") to a number no larger than max.
bool parseHexOption(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
    }
    if (t.empty() || t.size() > 16) {
        return false;
    }
    std::size_t used = 0;
    try {
        value = std::stoull(t, &used, 16);
    } catch (...) {
        return false;
    }
    return used == t.size() && value <= max;
}

void setRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

speed_t speedFor(std::uint32_t baud) {
    switch (baud) {
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B0;
    }
}

// SIGTERM or SIGINT waiting while blocked. ppoll takes a pending signal only
// when it has to wait: a descriptor that is always ready (a serial port whose
// peer hung up) would keep the signal pending for ever.
bool stopSignalPending() {
    sigset_t pending;
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1);
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    const std::int64_t giveUp = nowMs() + 2000;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (nowMs() > giveUp || stopSignalPending()) {
            return false;  // the peer does not read: drop the rest
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
    return true;
}

// The transcript as JSON lines; on a line with several devices every line
// starts with the ID of the device it comes from.
struct LogWriter {
    std::ofstream file;
    std::vector<std::size_t> written;
    void flush(const SimBus& bus) {
        if (!file.is_open()) {
            return;
        }
        written.resize(bus.size(), 0);
        for (std::size_t i = 0; i < bus.size(); ++i) {
            const auto& device = bus.device(i);
            const auto& events = device.transcript();
            for (; written[i] < events.size(); ++written[i]) {
                std::string line = toJsonLine(events[written[i]]);
                if (bus.size() > 1) {
                    line.insert(1, "\"device\":" + std::to_string(device.config().id) + ",");
                }
                file << line << '\n';
            }
        }
        file.flush();
    }
};

bool writeDumpFile(const std::string& path, const SimDevice& device) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto mem = device.memory();
    out.write(reinterpret_cast<const char*>(mem.data()), static_cast<std::streamsize>(mem.size()));
    return static_cast<bool>(out);
}

// One device: path is its file. Several: path is a folder (made when
// missing) that receives ID.bin for every device.
bool writeDump(const std::string& path, const SimBus& bus) {
    if (bus.size() == 1) {
        return writeDumpFile(path, bus.device(0));
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < bus.size(); ++i) {
        const auto& device = bus.device(i);
        ok = writeDumpFile(path + "/" + std::to_string(device.config().id) + ".bin", device) && ok;
    }
    return ok;
}

// "RULE@ID": the rule and the ID it is meant for; no "@": every device.
std::pair<std::string, std::optional<int>> splitFaultTarget(const std::string& text) {
    const auto at = text.rfind('@');
    if (at == std::string::npos) {
        return {text, std::nullopt};
    }
    const std::string idText = text.substr(at + 1);
    int id = -1;
    if (!idText.empty() && idText.size() <= 4 &&
        std::all_of(idText.begin(), idText.end(),
                    [](unsigned char c) { return std::isdigit(c); })) {
        id = std::stoi(idText);
    }
    return {text.substr(0, at), id};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"flashmere-devsim: a simulated field device for Flashmere", "flashmere-devsim"};
    app.footer(
        std::string("\nFirst line on stdout: \"listening on HOST:PORT\" or \"serial PATH\".\n"
                    "Hex options take 8401 or 0x8401.\n\n") +
        kFaultRuleHelp);
    std::string tcpSpec, serialPath, modelText, pinText, serialNumberText,
        name = "SIMDEVICE", versionText, ispText, reportModelText, versionAfterText, lineText,
        splitText, logPath, dumpPath;
    bool usePty = false, exitAfterRun = false, erased = false, noLoaderGate = false;
    std::vector<int> ids;  // none given: the tool's own default ID 0, so the first pairing needs none
    std::vector<std::string> deviceTexts;
    std::int64_t rebootMs = 3000, resetMs = 2000, latencyMs = 2, eraseBusy = 0, programBusy = 0;
    std::uint64_t seed = 1;
    double drop = 0, corrupt = 0;
    int noise = 0, stale = 0, disconnectAfter = 0, silentFirst = 0;
    std::vector<std::string> faultTexts;

    auto* tcpOpt =
        app.add_option("--tcp", tcpSpec, "serve TCP on [HOST:]PORT (port 0: any free port)");
    auto* ptyOpt = app.add_flag("--pty", usePty, "serve a new pseudo-terminal; prints its path");
    auto* serOpt = app.add_option("--serial", serialPath, "serve an existing serial port");
    tcpOpt->excludes(ptyOpt)->excludes(serOpt);
    ptyOpt->excludes(serOpt);
    app.add_option("--model", modelText, "model code (hex), e.g. 8401");
    app.add_option("--id", ids,
                   "device address (0-9999, default 0); repeat for more devices of --model")
        ->check(CLI::Range(0, 9999));
    app.add_option("--device", deviceTexts,
                   "MODEL:ID, one more device on the same line (repeatable)");
    app.add_option("--pin", pinText, "PIN (hex); without it the device takes any PIN");
    app.add_option("--serial-number", serialNumberText, "serial number (hex, 32 bits)");
    app.add_option("--name", name, "device name (up to 12 characters)");
    auto* versionOpt = app.add_option("--version", versionText,
                                      "firmware version (hex); alone: print the program version")
                           ->expected(0, 1);
    app.add_option("--version-after-run", versionAfterText, "version reported after a start (hex)");
    app.add_option("--isp", ispText, "ISP (loader) version (hex)");
    app.add_option("--report-model", reportModelText, "model code to report instead (hex)");
    app.add_option("--reboot-ms", rebootMs, "silence after the start command");
    app.add_option("--reset-ms", resetMs, "silence after the 0xAA reset frame (0171, 0181)");
    app.add_option("--latency-ms", latencyMs, "time from a request to its reply");
    app.add_option("--erase-busy-ms", eraseBusy, "extra time an erase takes");
    app.add_option("--program-busy-ms", programBusy, "extra time a page program takes");
    app.add_option("--line", lineText, "pace bytes like a serial line, e.g. 19200,e,8,1");
    app.add_flag("--erased", erased,
                 "start with erased memory (all 0xFF) instead of an old firmware");
    app.add_flag("--no-loader-gate", noLoaderGate,
                 "take erase and program requests without the 6D 2E mode command first");
    app.add_option("--seed", seed, "seed of every random fault");
    app.add_option("--drop", drop, "probability that a reply is lost")->check(CLI::Range(0.0, 1.0));
    app.add_option("--corrupt", corrupt, "probability that a reply carries one bad byte")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--split", splitText, "split replies into 2-4 pieces, gaps MIN-MAX ms");
    app.add_option("--noise", noise, "junk bytes before every reply")->check(CLI::Range(0, 4096));
    app.add_option("--stale", stale, "junk bytes 1 ms after every reply")
        ->check(CLI::Range(0, 4096));
    app.add_option("--disconnect-after", disconnectAfter, "drop the TCP link after N frames (once)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--silent-first", silentFirst,
                   "ignore the first N copies of every distinct request")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--fault", faultTexts,
                   "scripted fault rule, RULE or RULE@ID for one device (repeatable, see below)");
    app.add_option("--log", logPath, "write the transcript as JSON lines");
    app.add_option("--dump", dumpPath,
                   "write the program memory to this file at exit; several devices: to "
                   "ID.bin in this folder");
    app.add_flag("--exit-after-run", exitAfterRun,
                 "exit once a program was started and its reboot ended");

    // "--version" alone prints the program version, even without --model.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 &&
            (i + 1 == argc || std::strncmp(argv[i + 1], "--", 2) == 0)) {
            std::cout << "flashmere-devsim " << FLASHMERE_VERSION << "\n";
            return 0;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help is a success; every other parse error is bad usage (2).
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    (void)versionOpt;

    auto usage = [](const std::string& message) {
        std::cerr << "flashmere-devsim: " << message << "\n";
        return 2;
    };
    SimConfig config;
    std::uint64_t v = 0;
    if (modelText.empty() && deviceTexts.empty()) {
        return usage("--model is required (or at least one --device MODEL:ID)");
    }
    if (!modelText.empty() && !parseHexOption(modelText, 0xFFFF, v)) {
        return usage("--model needs a hexadecimal model code, e.g. 8401");
    }
    config.model = static_cast<std::uint16_t>(v);
    if (!pinText.empty()) {
        if (!parseHexOption(pinText, 0xFFFF, v)) {
            return usage("--pin needs a hexadecimal number up to FFFF");
        }
        config.pin = static_cast<std::uint16_t>(v);
    }
    auto hexField = [&](const std::string& text, std::uint64_t max, const char* option,
                        auto& target) -> bool {
        if (text.empty()) {
            return true;
        }
        if (!parseHexOption(text, max, v)) {
            std::cerr << "flashmere-devsim: " << option << " needs a hexadecimal number\n";
            return false;
        }
        target = static_cast<std::remove_reference_t<decltype(target)>>(v);
        return true;
    };
    std::uint16_t reportModel = 0, versionAfter = 0;
    if (!hexField(serialNumberText, 0xFFFFFFFF, "--serial-number", config.serialNumber) ||
        !hexField(versionText, 0xFFFF, "--version", config.version) ||
        !hexField(ispText, 0xFFFF, "--isp", config.isp) ||
        !hexField(reportModelText, 0xFFFF, "--report-model", reportModel) ||
        !hexField(versionAfterText, 0xFFFF, "--version-after-run", versionAfter)) {
        return 2;
    }
    if (!reportModelText.empty()) {
        config.reportModel = reportModel;
    }
    if (!versionAfterText.empty()) {
        config.versionAfterRun = versionAfter;
    }
    config.name = name;
    config.rebootMs = rebootMs;
    config.resetMs = resetMs;
    config.latencyMs = latencyMs;
    config.eraseBusyMs = eraseBusy;
    config.programBusyMs = programBusy;
    config.seed = seed;
    config.loaderGate = !noLoaderGate;
    config.initialMemory = erased ? InitialMemory::Erased : InitialMemory::OldFirmware;
    if (!lineText.empty()) {
        config.line = parseLineMode(lineText);
        if (!config.line) {
            return usage("--line needs BAUD,PARITY,DATA,STOP such as 19200,e,8,1");
        }
    }
    auto& f = config.faults;
    f.dropProbability = drop;
    f.corruptProbability = corrupt;
    f.noiseBytes = noise;
    f.staleBytes = stale;
    f.disconnectAfterFrames = disconnectAfter;
    f.silentFirstAttempts = silentFirst;
    if (!splitText.empty()) {
        const auto dash = splitText.find('-');
        try {
            std::size_t u1 = 0, u2 = 0;
            const std::string a = splitText.substr(0, dash);
            const std::string b = dash == std::string::npos ? a : splitText.substr(dash + 1);
            f.splitGapMs = {std::stoll(a, &u1), std::stoll(b, &u2)};
            if (u1 != a.size() || u2 != b.size()) {
                throw std::invalid_argument("split");
            }
        } catch (...) {
            return usage("--split needs MIN-MAX in milliseconds, e.g. 0-30");
        }
    }
    // The devices on the line: --model at every --id (ID 0 when none is
    // given), then every --device MODEL:ID.
    std::vector<SimConfig> configs;
    if (!modelText.empty()) {
        if (ids.empty()) {
            ids.push_back(0);
        }
        for (const int id : ids) {
            configs.push_back(config);
            configs.back().id = static_cast<std::uint16_t>(id);
        }
    }
    for (const auto& text : deviceTexts) {
        const auto colon = text.find(':');
        std::uint64_t model = 0;
        std::uint64_t id = 0;
        if (colon == std::string::npos || !parseHexOption(text.substr(0, colon), 0xFFFF, model) ||
            colon + 1 == text.size() || text.size() - colon > 5 ||
            !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(colon) + 1, text.end(),
                         [](unsigned char c) { return std::isdigit(c); })) {
            return usage("--device needs MODEL:ID such as 8801:12 (ID 0-9999), not \"" + text +
                         "\"");
        }
        id = std::stoul(text.substr(colon + 1));
        configs.push_back(config);
        configs.back().model = static_cast<std::uint16_t>(model);
        configs.back().id = static_cast<std::uint16_t>(id);
    }
    for (std::size_t i = 0; i < configs.size() && configs.size() > 1; ++i) {
        // Devices of one line differ in serial number and in their random faults.
        configs[i].serialNumber += static_cast<std::uint32_t>(i);
        configs[i].seed += i;
    }
    for (const auto& text : faultTexts) {
        const auto [ruleText, target] = splitFaultTarget(text);
        std::string error;
        auto rule = parseFaultRule(ruleText, &error);
        if (!rule) {
            return usage(error);
        }
        bool matched = false;
        for (auto& device : configs) {
            if (!target || *target == device.id) {
                device.faults.rules.push_back(*rule);
                matched = true;
            }
        }
        if (!matched) {
            return usage("--fault " + text + ": no device on the line has that ID");
        }
    }
    for (const auto& device : configs) {
        if (auto problem = checkSimConfig(device)) {
            return usage(*problem);
        }
    }
    if (tcpSpec.empty() && !usePty && serialPath.empty()) {
        return usage("choose one of --tcp [HOST:]PORT, --pty or --serial PATH");
    }

    std::optional<SimBus> bus;
    try {
        bus.emplace(std::move(configs));
    } catch (const std::invalid_argument& refused) {
        return usage(refused.what());
    }
    SimBus& device = *bus;
    LogWriter log;
    if (!logPath.empty()) {
        log.file.open(logPath, std::ios::trunc);
        if (!log.file) {
            return usage("cannot write the log file " + logPath);
        }
    }

    // SIGTERM and SIGINT are taken only inside ppoll, so no wake-up is lost.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    static volatile sig_atomic_t stopRequested = 0;
    struct sigaction sa {};
    sa.sa_handler = [](int) { stopRequested = 1; };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listenFd = -1;
    int linkFd = -1;    // the client socket, the pty master or the serial port
    int ptySlave = -1;  // held open so that the master never sees a hang-up
    const bool tcp = !tcpSpec.empty();
    if (tcp) {
        std::string host = "127.0.0.1";
        std::string portText = tcpSpec;
        const auto colon = tcpSpec.rfind(':');
        if (colon != std::string::npos) {
            host = tcpSpec.substr(0, colon);
            portText = tcpSpec.substr(colon + 1);
        }
        unsigned long port = 0;
        try {
            std::size_t used = 0;
            port = std::stoul(portText, &used);
            if (used != portText.size() || port > 65535) {
                throw std::out_of_range("port");
            }
        } catch (...) {
            return usage("--tcp needs [HOST:]PORT with a port from 0 to 65535");
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
            return usage("--tcp needs a numeric IPv4 host, e.g. 127.0.0.1");
        }
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listenFd < 0 ||
            ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd, 4) != 0) {
            std::cerr << "flashmere-devsim: cannot listen on " << host << ":" << port << ": "
                      << std::strerror(errno) << "\n";
            return 1;
        }
        socklen_t len = sizeof addr;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
        std::printf("listening on %s:%u\n", host.c_str(), unsigned{ntohs(addr.sin_port)});
    } else if (usePty) {
        int master = -1;
        char path[256] = {};
        if (openpty(&master, &ptySlave, path, nullptr, nullptr) != 0) {
            std::cerr << "flashmere-devsim: openpty failed: " << std::strerror(errno) << "\n";
            return 1;
        }
        setRaw(ptySlave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(ptySlave, F_SETFD, FD_CLOEXEC);
        linkFd = master;
        std::printf("serial %s\n", path);
    } else {
        linkFd = ::open(serialPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (linkFd < 0) {
            std::cerr << "flashmere-devsim: cannot open " << serialPath << ": "
                      << std::strerror(errno) << "\n";
            return 1;
        }
        termios tio{};
        if (tcgetattr(linkFd, &tio) == 0) {
            cfmakeraw(&tio);
            if (config.line && speedFor(config.line->baud) != B0) {
                cfsetspeed(&tio, speedFor(config.line->baud));
            }
            tcsetattr(linkFd, TCSANOW, &tio);
        }
        std::printf("serial %s\n", serialPath.c_str());
    }
    std::fflush(stdout);
    if (linkFd >= 0) {
        device.linkOpened(nowMs());
    }

    int exitCode = 0;
    bool hungUp = false;  // the pty or serial port reports its peer gone
    std::vector<std::uint8_t> buffer(4096);
    while (!stopRequested && !stopSignalPending()) {
        const std::int64_t now = nowMs();
        if (exitAfterRun && device.runFinished(now)) {
            break;
        }
        std::int64_t waitMs = 200;
        if (const auto due = device.nextDueMs()) {
            waitMs = std::clamp<std::int64_t>(*due - now, 0, 200);
        }
        if (exitAfterRun && device.runCount() > 0) {
            waitMs = 10;  // the reboot end is not an output: look again soon
        }
        pollfd p{};
        p.fd = linkFd >= 0 ? linkFd : listenFd;
        p.events = POLLIN;
        timespec ts{static_cast<time_t>(waitMs / 1000),
                    static_cast<long>(waitMs % 1000) * 1000000L};
        const int ready = ::ppoll(&p, 1, &ts, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::cerr << "flashmere-devsim: poll failed: " << std::strerror(errno) << "\n";
            exitCode = 1;
            break;
        }
        bool closeClient = false;
        if (ready > 0 && linkFd < 0) {
            linkFd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (linkFd >= 0) {
                const int one = 1;
                setsockopt(linkFd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
                device.linkOpened(nowMs());
            }
        } else if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(linkFd, buffer.data(), buffer.size());
            if (n > 0) {
                if (hungUp) {
                    hungUp = false;  // the line came back
                    device.linkOpened(nowMs());
                }
                device.receive(std::span(buffer.data(), static_cast<std::size_t>(n)), nowMs());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closeClient = tcp;  // a pty or serial port stays ours
                if (!tcp && !hungUp) {
                    hungUp = true;  // the peer is gone: noted once
                    device.linkClosed(nowMs());
                }
                if (!tcp) {
                    ::usleep(20000);
                }
            }
        }
        if (linkFd >= 0) {
            for (auto& out : device.takeDue(nowMs())) {
                if (out.disconnect) {
                    closeClient = closeClient || tcp;
                    break;
                }
                if (!writeAll(linkFd, out.bytes)) {
                    closeClient = tcp;
                    break;
                }
            }
        } else {
            device.takeDue(nowMs());  // nobody listens: the line drops it
        }
        if (closeClient && linkFd >= 0) {
            ::close(linkFd);
            linkFd = -1;
            device.linkClosed(nowMs());
        }
        log.flush(device);
    }
    log.flush(device);
    if (!dumpPath.empty() && !writeDump(dumpPath, device)) {
        std::cerr << "flashmere-devsim: cannot write the dump file " << dumpPath << "\n";
        exitCode = 1;
    }
    if (linkFd >= 0) {
        ::close(linkFd);
    }
    if (ptySlave >= 0) {
        ::close(ptySlave);
    }
    if (listenFd >= 0) {
        ::close(listenFd);
    }
    return exitCode;
}
