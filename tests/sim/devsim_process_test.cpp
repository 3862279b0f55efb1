// Runs the built flashmere-devsim as a process and talks to it over a plain
// TCP socket and over its pseudo-terminal. Every wait is bounded.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "sim_test_util.h"

namespace flashmere {
namespace {

using namespace simtest;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The simulator in FLASHMERE_BIN_DIR, else the one this test was built with.
std::string devsimPath() {
    if (const char* dir = std::getenv("FLASHMERE_BIN_DIR"); dir && *dir) {
        return std::string(dir) + "/flashmere-devsim";
    }
    return FLASHMERE_DEVSIM_PATH;
}

class DevsimProcess {
  public:
    explicit DevsimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            const std::string path = devsimPath();
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    ~DevsimProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) {
            close(stdout_);
        }
    }

    // The first stdout line, or "" after timeoutMs.
    std::string firstLine(std::int64_t timeoutMs) {
        std::string line;
        const std::int64_t deadline = nowMs() + timeoutMs;
        while (nowMs() < deadline) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            char c;
            if (read(stdout_, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return "";
    }

    // Sends SIGTERM and waits at most timeoutMs; the exit code, or -1.
    int terminate(std::int64_t timeoutMs) {
        kill(pid_, SIGTERM);
        const std::int64_t deadline = nowMs() + timeoutMs;
        while (nowMs() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    pid_t pid() const { return pid_; }
    void markExited() { exited_ = true; }

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    bool exited_ = false;
};

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

std::string tempPath(const char* name) {
    return ::testing::TempDir() + "devsim_" + std::to_string(getpid()) + "_" + name;
}

TEST(DevsimProcess, ServesTcpAndWritesItsDumpAndLogOnSigterm) {
    const std::string dump = tempPath("dump.bin");
    const std::string log = tempPath("log.jsonl");
    DevsimProcess sim({"--tcp", "0", "--model", "8401", "--id", "3", "--dump", dump, "--log", log});
    const std::string line = sim.firstLine(5000);
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    const int port = std::stoi(line.substr(line.rfind(':') + 1));
    ASSERT_GT(port, 0);

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

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

    EXPECT_EQ(sim.terminate(5000), 0);
    struct stat st {};
    ASSERT_EQ(stat(dump.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 128 * 256) << "the whole program memory of an 8401";
    std::ifstream logFile(log);
    std::string all((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    EXPECT_NE(
        all.find("\"event\":\"request\",\"kind\":\"binary\",\"address\":3,\"command\":\"0x0001\""),
        std::string::npos)
        << all;
    EXPECT_NE(all.find("\"text\":\"03Zx73\""), std::string::npos) << all;
    std::remove(dump.c_str());
    std::remove(log.c_str());
}

TEST(DevsimProcess, ServesAPseudoTerminal) {
    DevsimProcess sim({"--pty", "--model", "8801", "--id", "12", "--name", "PTYDEV"});
    const std::string line = sim.firstLine(5000);
    ASSERT_EQ(line.rfind("serial /dev/", 0), 0u) << line;
    const std::string path = line.substr(7);
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
    EXPECT_EQ(sim.terminate(5000), 0);
}

TEST(DevsimProcess, EndsOnSigtermWithinASecondAfterItsSerialPeerHungUp) {
    // A pseudo-terminal stands in for the serial port. Closing its master is
    // the peer going away: the port stays hung up (always ready to poll).
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the simulator must not hold it open
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string port = ptsname(master);
    const std::string dump = tempPath("serial_dump.bin");
    const std::string log = tempPath("serial_log.jsonl");
    std::remove(dump.c_str());
    DevsimProcess sim({"--serial", port, "--model", "8401", "--dump", dump, "--log", log});
    ASSERT_EQ(sim.firstLine(5000), "serial " + port);
    close(master);
    // The simulator notes the hang-up; from then on the port is always ready.
    const auto hungUp = [&] {
        std::ifstream in(log);
        const std::string all((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        return all.find("\"event\":\"link-closed\"") != std::string::npos;
    };
    const std::int64_t deadline = nowMs() + 3000;
    while (!hungUp() && nowMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(hungUp());

    EXPECT_EQ(sim.terminate(1000), 0);
    struct stat st {};
    ASSERT_EQ(stat(dump.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 128 * 256);
    std::remove(dump.c_str());
    std::remove(log.c_str());
}

TEST(DevsimProcess, ExitsByItselfAfterTheStartedProgramRebooted) {
    DevsimProcess sim({"--tcp", "127.0.0.1:0", "--model", "8400", "--reboot-ms", "300",
                       "--exit-after-run", "--split", "0-5", "--seed", "3"});
    const std::string line = sim.firstLine(5000);
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // No --id: the simulator is device 0, as the tool expects by default.
    ASSERT_TRUE(writeAll(fd, binaryRequest(0, 0x0038, kStartProgram)));
    ASSERT_TRUE(readReply(fd, 3000, decodeBinary)) << "the split reply reassembles";
    const std::int64_t started = nowMs();
    // The process ends on its own once the 300 ms reboot is over.
    int status = -1;
    while (nowMs() - started < 5000) {
        if (waitpid(sim.pid(), &status, WNOHANG) == sim.pid()) {
            sim.markExited();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(nowMs() - started, 250);
}

TEST(DevsimProcess, RefusesBadOptionsWithAMessage) {
    DevsimProcess sim({"--tcp", "0", "--model", "84G1"});
    EXPECT_EQ(sim.firstLine(3000), "");
    EXPECT_EQ(sim.terminate(3000), 2);
}

}  // namespace
}  // namespace flashmere
