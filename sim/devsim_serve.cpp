#include "devsim_serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty_lock.h"

namespace flashmere {
namespace {

// Set by the stop signals' handler, read by every serving thread.
std::atomic<bool> stopRequested{false};

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

std::optional<int> openTcpListener(const std::string& endpoint, DevsimLink& link) {
    std::string host = "127.0.0.1";
    std::string portText = endpoint;
    const auto colon = endpoint.rfind(':');
    if (colon != std::string::npos) {
        host = endpoint.substr(0, colon);
        portText = endpoint.substr(colon + 1);
    }
    unsigned long port = 0;
    try {
        std::size_t used = 0;
        port = std::stoul(portText, &used);
        if (used != portText.size() || port > 65535) {
            throw std::out_of_range("port");
        }
    } catch (...) {
        return devsimUsage("--tcp needs [HOST:]PORT with a port from 0 to 65535");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        return devsimUsage("--tcp needs a numeric IPv4 host, e.g. 127.0.0.1");
    }
    link.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (link.listenFd >= 0) {
        // Lets a restart take the port again at once; the listen works without it.
        const int one = 1;
        setsockopt(link.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (link.listenFd < 0 ||
        ::bind(link.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(link.listenFd, 4) != 0) {
        std::cerr << "flashmere-devsim: cannot listen on " << host << ":" << port << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(link.listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("listening on %s:%u\n", host.c_str(), unsigned{ntohs(addr.sin_port)});
    return std::nullopt;
}

std::optional<int> openPty(DevsimLink& link) {
    int master = -1;
    char path[256] = {};
    std::vector<int> passedOver;  // kept open until then, so each try is a new number
    for (int tries = 0;; ++tries) {
        if (openpty(&master, &link.ptySlave, path, nullptr, nullptr) != 0) {
            std::cerr << "flashmere-devsim: openpty failed: " << std::strerror(errno) << "\n";
            return 1;
        }
        if (tries == 7 || !serialLockHeld(path)) {
            break;
        }
        passedOver.insert(passedOver.end(), {master, link.ptySlave});
    }
    for (const int fd : passedOver) {
        ::close(fd);
    }
    setRaw(link.ptySlave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(link.ptySlave, F_SETFD, FD_CLOEXEC);
    link.linkFd = master;
    std::printf("serial %s\n", path);
    return std::nullopt;
}

std::optional<int> openSerialPort(const std::string& path, const std::optional<LineMode>& line,
                                  DevsimLink& link) {
    link.linkFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (link.linkFd < 0) {
        std::cerr << "flashmere-devsim: cannot open " << path << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    termios tio{};
    if (tcgetattr(link.linkFd, &tio) == 0) {
        cfmakeraw(&tio);
        if (line && speedFor(line->baud) != B0) {
            cfsetspeed(&tio, speedFor(line->baud));
        }
        tcsetattr(link.linkFd, TCSANOW, &tio);
    }
    std::printf("serial %s\n", path.c_str());
    return std::nullopt;
}

// One client at a time on TCP; a pty or serial port stays open for ever and
// reports a peer that hung up (and came back) in the transcript.
class DevsimServer {
  public:
    DevsimServer(SimBus& bus, DevsimLink& link, DevsimLog& log, const DevsimOptions& options,
                 const sigset_t& waitMask)
        : bus_(bus),
          link_(link),
          log_(log),
          exitAfterRun_(options.exitAfterRun),
          chatterMs_(options.chatterMs),
          waitMask_(waitMask) {}

    int run();

  private:
    std::int64_t waitMsAt(std::int64_t now) const;
    void acceptClient();
    bool readLink();
    bool deliverDue(bool closeClient);
    void chatter(std::int64_t now);

    SimBus& bus_;
    DevsimLink& link_;
    DevsimLog& log_;
    const bool exitAfterRun_;
    const std::int64_t chatterMs_;
    std::int64_t nextChatterMs_ = 0;
    std::uint64_t chatterCount_ = 0;
    const sigset_t waitMask_;
    bool hungUp_ = false;  // the pty or serial port reports its peer gone
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(4096);
};

int DevsimServer::run() {
    while (!stopRequested && !stopSignalPending()) {
        const std::int64_t now = nowMs();
        if (exitAfterRun_ && bus_.runFinished(now)) {
            break;
        }
        const std::int64_t waitMs = waitMsAt(now);
        pollfd p{};
        p.fd = link_.linkFd >= 0 ? link_.linkFd : link_.listenFd;
        p.events = POLLIN;
        timespec ts{static_cast<time_t>(waitMs / 1000),
                    static_cast<long>(waitMs % 1000) * 1000000L};
        const int ready = ::ppoll(&p, 1, &ts, &waitMask_);
        if (ready < 0 && errno != EINTR) {
            std::cerr << "flashmere-devsim: poll failed: " << std::strerror(errno) << "\n";
            return 1;
        }
        bool closeClient = false;
        if (ready > 0 && link_.linkFd < 0) {
            acceptClient();
        } else if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            closeClient = readLink();
        }
        closeClient = deliverDue(closeClient);
        chatter(nowMs());
        if (closeClient && link_.linkFd >= 0) {
            ::close(link_.linkFd);
            link_.linkFd = -1;
            bus_.linkClosed(nowMs());
        }
        log_.flush(bus_);
    }
    return 0;
}

std::int64_t DevsimServer::waitMsAt(std::int64_t now) const {
    std::int64_t waitMs = 200;
    if (const auto due = bus_.nextDueMs()) {
        waitMs = std::clamp<std::int64_t>(*due - now, 0, 200);
    }
    if (exitAfterRun_ && bus_.runCount() > 0) {
        waitMs = 10;  // the reboot end is not an output: look again soon
    }
    if (chatterMs_ > 0) {
        waitMs = std::clamp<std::int64_t>(nextChatterMs_ - now, 0, waitMs);
    }
    return waitMs;
}

// The stray bytes alternate between the start bytes of the two reply frames
// (0x06 binary, 0x03 text): every exchange sees a reply begin that never
// ends, the hardest chatter for a host to bound.
void DevsimServer::chatter(std::int64_t now) {
    if (chatterMs_ <= 0 || now < nextChatterMs_) {
        return;
    }
    nextChatterMs_ = now + chatterMs_;
    if (link_.linkFd >= 0) {
        const std::uint8_t stray = chatterCount_++ % 2 == 0 ? 0x06 : 0x03;
        writeAll(link_.linkFd, {stray});
    }
}

void DevsimServer::acceptClient() {
    link_.linkFd = ::accept4(link_.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (link_.linkFd >= 0) {
        const int one = 1;
        setsockopt(link_.linkFd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
        bus_.linkOpened(nowMs());
    }
}

// Returns true when a TCP client is gone and its socket is to be closed.
bool DevsimServer::readLink() {
    const ssize_t n = ::read(link_.linkFd, buffer_.data(), buffer_.size());
    if (n > 0) {
        if (hungUp_) {
            hungUp_ = false;  // the line came back
            bus_.linkOpened(nowMs());
        }
        bus_.receive(std::span(buffer_.data(), static_cast<std::size_t>(n)), nowMs());
        return false;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (!link_.tcp && !hungUp_) {
            hungUp_ = true;  // the peer is gone: noted once
            bus_.linkClosed(nowMs());
        }
        if (!link_.tcp) {
            ::usleep(20000);
        }
        return link_.tcp;  // a pty or serial port stays ours
    }
    return false;
}

// Writes the output whose time has come; returns whether the TCP client is
// to be closed (asked before, a device's disconnect or a failed write).
bool DevsimServer::deliverDue(bool closeClient) {
    if (link_.linkFd < 0) {
        bus_.takeDue(nowMs());  // nobody listens: the line drops it
        return closeClient;
    }
    for (auto& out : bus_.takeDue(nowMs())) {
        if (out.disconnect) {
            return closeClient || link_.tcp;
        }
        if (!writeAll(link_.linkFd, out.bytes)) {
            return link_.tcp;
        }
    }
    return closeClient;
}

}  // namespace

void DevsimLink::closeAll() {
    for (int* fd : {&linkFd, &ptySlave, &listenFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

sigset_t blockStopSignals() {
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = [](int) { stopRequested = true; };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return waitMask;
}

std::optional<int> openDevsimLink(const DevsimOptions& options, DevsimLink& link) {
    link.tcp = !options.tcpEndpoint.empty();
    std::optional<int> failed;
    if (link.tcp) {
        failed = openTcpListener(options.tcpEndpoint, link);
    } else if (options.usePty) {
        failed = openPty(link);
    } else {
        failed = openSerialPort(options.serialPath, options.line, link);
    }
    std::fflush(stdout);
    return failed;
}

int serveDevsim(SimBus& bus, DevsimLink& link, DevsimLog& log, const DevsimOptions& options,
                const sigset_t& waitMask) {
    if (link.linkFd >= 0) {
        bus.linkOpened(nowMs());
    }
    return DevsimServer(bus, link, log, options, waitMask).run();
}

}  // namespace flashmere

namespace flashmere {
namespace {

// One TCP line of --tcp-ports: its own devices, listener and transcript.
struct TcpLine {
    explicit TcpLine(std::vector<SimConfig> devices) : bus(std::move(devices)) {}
    SimBus bus;
    DevsimLink link;
    DevsimLog log;  // no file: the events are dropped as they are served
};

// Two descriptors per line (listener and client): past the usual soft limit
// of 1024 for a few hundred lines.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// HOST:PORT+i, or HOST:0 again when any free port will do.
std::string endpointOf(const std::string& endpoint, int i) {
    const auto colon = endpoint.rfind(':');
    const std::string host = colon == std::string::npos ? "127.0.0.1" : endpoint.substr(0, colon);
    const std::string portText = colon == std::string::npos ? endpoint : endpoint.substr(colon + 1);
    const unsigned long port = std::strtoul(portText.c_str(), nullptr, 10);
    return host + ":" + std::to_string(port == 0 ? 0 : port + static_cast<unsigned long>(i));
}

}  // namespace

int serveTcpPorts(const DevsimOptions& options, const sigset_t& waitMask) {
    raiseOpenFileLimit();
    std::vector<std::unique_ptr<TcpLine>> lines;
    for (int i = 0; i < options.tcpPorts; ++i) {
        auto line = std::make_unique<TcpLine>(options.devices);
        line->link.tcp = true;
        if (const auto code = openTcpListener(endpointOf(options.tcpEndpoint, i), line->link)) {
            return *code;
        }
        lines.push_back(std::move(line));
    }
    std::fflush(stdout);
    std::vector<std::thread> threads;
    for (auto& line : lines) {
        threads.emplace_back([&line, &options, &waitMask] {
            DevsimServer(line->bus, line->link, line->log, options, waitMask).run();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& line : lines) {
        line->link.closeAll();
    }
    return 0;
}

}  // namespace flashmere
