// Runs the built flashmere-devsim as a process and talks to it over a plain
// TCP socket and over its pseudo-terminal. Every wait is bounded.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <string>

#include "devsim_output.h"
#include "sim_test_util.h"
#include "tests/support/process_harness.h"

namespace flashmere {
namespace {

using namespace simtest;
using testing::SimProcess;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A plain socket connected to "127.0.0.1:PORT"; -1 when it cannot be.
int connectTo(const QString& endpoint) {
    const int port = endpoint.section(':', -1).toInt();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port <= 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the collector accepts a frame or timeoutMs passes.
template <typename Decode>
auto readReply(int fd, std::int64_t timeoutMs, Decode decode) -> decltype(decode({})) {
    std::vector<std::uint8_t> got;
    const std::int64_t deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
        if (auto frame = decode(got)) {
            return frame;
        }
    }
    return std::nullopt;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(DevsimProcess, ServesTcpAndWritesItsDumpAndLogOnSigterm) {
    QTemporaryDir dir;
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "0", "--model", "8401", "--id", "3"}));
    ASSERT_TRUE(sim.endpoint().startsWith("127.0.0.1:")) << sim.endpoint().toStdString();
    const int fd = connectTo(sim.endpoint());
    ASSERT_GE(fd, 0) << sim.endpoint().toStdString();

    ASSERT_TRUE(writeAll(fd, binaryRequest(3, 0x0001)));
    const auto id = readReply(fd, 3000, decodeBinary);
    ASSERT_TRUE(id);
    EXPECT_EQ(payloadOf(*id),
              (std::vector<std::uint8_t>{0x84, 0x01, 0x12, 0x34, 0x56, 0x78, 0, 3}));

    ASSERT_TRUE(writeAll(fd, buildTextRequest("03Zx73")));
    const auto zx = readReply(fd, 3000, decodeText);
    ASSERT_TRUE(zx);
    EXPECT_EQ(std::string(zx->textCode.data(), 2), "Zx");
    EXPECT_EQ(zx->address, 3);
    close(fd);

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(fileBytes(sim.dumpPath()).size(), 128 * 256) << "the whole program memory of an 8401";
    const QByteArray log = fileBytes(sim.logPath());
    EXPECT_TRUE(log.contains(R"("event":"request","kind":"binary","address":3,"command":"0x0001")"))
        << log.toStdString();
    EXPECT_TRUE(log.contains(R"("text":"03Zx73")")) << log.toStdString();
}

// The process writes each turn's events out and keeps none: however long
// it serves, its transcript holds only what came since the last turn, and
// the log still gets every event.
TEST(DevsimLog, WritesTheNewEventsAndTheDevicesForgetThem) {
    QTemporaryDir dir;
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    SimBus bus({config});
    DevsimLog log;
    ASSERT_TRUE(log.open(dir.filePath("log.jsonl").toStdString()));
    for (int turn = 0; turn < 3; ++turn) {
        bus.receive(binaryRequest(3, 0x0001), 1000 * turn);
        bus.takeDue(1000 * turn + 500);
        EXPECT_FALSE(bus.device(0).transcript().empty());
        log.flush(bus);
        EXPECT_TRUE(bus.device(0).transcript().empty()) << turn;
    }
    const QByteArray text = fileBytes(dir.filePath("log.jsonl"));
    EXPECT_EQ(text.count(R"("event":"request")"), 3) << text.toStdString();
    EXPECT_EQ(text.count(R"("event":"reply")"), 3) << text.toStdString();
}

TEST(DevsimProcess, ServesAPseudoTerminal) {
    QTemporaryDir dir;
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--pty", "--model", "8801", "--id", "12", "--name", "PTYDEV"}));
    const std::string path = sim.endpoint().toStdString();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << path;
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);

    ASSERT_TRUE(writeAll(fd, buildTextRequest("12AS1")));
    const auto ident = readReply(fd, 3000, decodeText);
    ASSERT_TRUE(ident);
    ASSERT_EQ(ident->payloadLength, 28);
    EXPECT_EQ(std::string(ident->payload.begin() + 12, ident->payload.begin() + 18), "PTYDEV");
    EXPECT_EQ(ident->address, 12);

    // A text device hears no binary frame: the reply that comes is the text one.
    ASSERT_TRUE(writeAll(fd, binaryRequest(12, 0x0001)));
    ASSERT_TRUE(writeAll(fd, buildTextRequest("0012AS")));
    const auto as = readReply(fd, 3000, decodeText);
    ASSERT_TRUE(as);
    EXPECT_EQ(as->payloadLength, 0);
    close(fd);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(DevsimProcess, EndsOnSigtermWithinASecondAfterItsSerialPeerHungUp) {
    // A pseudo-terminal stands in for the serial port. Closing its master is
    // the peer going away: the port stays hung up (always ready to poll).
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the simulator must not hold it open
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString port = QString::fromLocal8Bit(ptsname(master));
    QTemporaryDir dir;
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--serial", port, "--model", "8401"}));
    ASSERT_EQ(sim.endpoint(), port);
    close(master);
    // The simulator notes the hang-up; from then on the port is always ready.
    ASSERT_TRUE(testing::waitForTranscriptEvent(sim.logPath(), "link-closed", 3000));

    const std::int64_t stopping = nowMs();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_LE(nowMs() - stopping, 1000);
    EXPECT_EQ(fileBytes(sim.dumpPath()).size(), 128 * 256);
}

TEST(DevsimProcess, ExitsByItselfAfterTheStartedProgramRebooted) {
    QTemporaryDir dir;
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8400", "--reboot-ms", "300",
                           "--exit-after-run", "--split", "0-5", "--seed", "3"}));
    const int fd = connectTo(sim.endpoint());
    ASSERT_GE(fd, 0) << sim.endpoint().toStdString();
    // No --id: the simulator is device 0, as the tool expects by default.
    ASSERT_TRUE(writeAll(fd, binaryRequest(0, 0x0038, kStartProgram)));
    ASSERT_TRUE(readReply(fd, 3000, decodeBinary)) << "the split reply reassembles";
    const std::int64_t started = nowMs();
    // The process ends on its own once the 300 ms reboot is over.
    EXPECT_EQ(sim.waitForExit(5000), 0);
    close(fd);
    EXPECT_GE(nowMs() - started, 250);
}

TEST(DevsimProcess, RefusesBadOptionsWithAMessage) {
    QTemporaryDir dir;
    SimProcess sim(dir);
    EXPECT_FALSE(sim.start({"--tcp", "0", "--model", "84G1"}));
    EXPECT_EQ(sim.waitForExit(3000), 2);
}

}  // namespace
}  // namespace flashmere
