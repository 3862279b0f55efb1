#include "cli_in_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <vector>

#include "commands.h"
#include "device_links.h"
#include "devsim_options.h"
#include "sim_bus.h"
#include "sim_device.h"
#include "sim_transport.h"

namespace flashmere::testing {

QStringList InProcessRun::lines() const {
    return QString::fromStdString(out).split('\n', Qt::SkipEmptyParts);
}

namespace {

// argv of a command line: the program's name, then each argument.
struct Arguments {
    explicit Arguments(const QStringList& args) {
        texts.push_back("flashmere-cli");
        for (const QString& a : args) {
            texts.push_back(a.toStdString());
        }
        for (std::string& t : texts) {
            pointers.push_back(t.data());
        }
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(texts.size()); }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

// The latest virtual time any device thread has reached.
std::atomic<std::int64_t> latestDeviceMs{0};

class DeviceThreadClock final : public Clock {
  public:
    std::int64_t nowMs() override { return now_; }
    // Only between runs: a clock that jumped while a run waits would end
    // its waits early.
    void catchUp() { now_ = std::max(now_, latestDeviceMs.load()); }
    void sleepMs(std::int64_t ms) override {
        now_ += std::max<std::int64_t>(ms, 0);
        std::int64_t seen = latestDeviceMs.load();
        while (seen < now_ && !latestDeviceMs.compare_exchange_weak(seen, now_)) {
        }
    }

  private:
    std::int64_t now_ = latestDeviceMs.load();
};

DeviceThreadClock& deviceThreadClock() {
    thread_local DeviceThreadClock clock;
    return clock;
}

// What a port nobody listens on gives: a link that never came up.
class NoListener final : public Transport {
  public:
    bool connected() const override { return false; }
    void discardInput() override {}
    bool write(std::span<const std::uint8_t>) override { return false; }
    std::string writeFailure() const override { return "the link is closed"; }
    std::size_t readWaiting(std::span<std::uint8_t>, std::int64_t) override { return 0; }
    void close() override {}
};

// One device thread's links into the network, on that thread's clock.
class NetworkLinks final : public TransportFactory {
  public:
    explicit NetworkLinks(SimNetwork& network) : network_(network) {}
    std::unique_ptr<Transport> openSerial(const std::string& portName, const std::string& mode,
                                          TraceSink& trace) override {
        noteOpened(portName);
        const auto line = network_.serialLines.find(portName);
        if (line == network_.serialLines.end()) {
            return nullptr;
        }
        auto& links = serialLinks_[portName];
        if (!links) {
            links = std::make_unique<SimTransportFactory>(*line->second, deviceThreadClock());
        }
        return links->openSerial(portName, mode, trace);
    }
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override {
        if (network_.beforeOpen) {
            network_.beforeOpen(port);
        }
        noteOpened(host + ":" + std::to_string(port));
        const auto device = network_.devices.find(port);
        if (device == network_.devices.end()) {
            return std::make_unique<NoListener>();
        }
        auto& links = links_[port];
        if (!links) {
            links = std::make_unique<SimTransportFactory>(*device->second, deviceThreadClock());
        }
        links->tcpNeverConnects = network_.goneAfterRun && device->second->runCount() > 0;
        return links->openTcp(host, port, connectTimeoutMs);
    }

  private:
    void noteOpened(const std::string& link) {
        const std::lock_guard lock(network_.mutex);
        network_.opened.push_back(link);
    }

    SimNetwork& network_;
    std::map<std::uint16_t, std::unique_ptr<SimTransportFactory>> links_;
    std::map<std::string, std::unique_ptr<SimTransportFactory>> serialLinks_;
};

// Runs the command line with the program's output and exit code captured.
void runCapturing(const QStringList& args, const QString& settingsFile, InProcessRun& run) {
    qputenv("FLASHMERE_SETTINGS_FILE", settingsFile.toUtf8());
    Arguments argv(args);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    run.exitCode = cli::runCommandLine(argv.count(), argv.pointers.data());
    std::fflush(stdout);
    std::fflush(stderr);
    run.out = ::testing::internal::GetCapturedStdout();
    run.err = ::testing::internal::GetCapturedStderr();
    qunsetenv("FLASHMERE_SETTINGS_FILE");
}

}  // namespace

std::optional<SimConfig> simConfigOf(const QStringList& simOptions) {
    Arguments argv(QStringList{"--tcp", "127.0.0.1:0"} + simOptions);
    DevsimOptions options;
    if (parseDevsimOptions(argv.count(), argv.pointers.data(), options) ||
        options.devices.size() != 1) {
        return std::nullopt;
    }
    return options.devices.front();
}

InProcessRun runCliInProcess(const QStringList& args, const QStringList& simOptions,
                             const QString& settingsFile) {
    const std::optional<SimConfig> config = simConfigOf(simOptions);
    if (!config) {
        ADD_FAILURE() << "the simulator options do not name one device";
        return {};
    }
    SimDevice device(*config);
    return runCliInProcess(args, device, settingsFile);
}

InProcessRun runCliInProcess(const QStringList& args, SimDevice& device,
                             const QString& settingsFile, bool goneAfterRun) {
    SimNetwork network;
    network.devices = {{kSimDevicePort, &device}};
    network.goneAfterRun = goneAfterRun;
    return runCliInProcess(args, network, settingsFile);
}

InProcessRun runCliInProcess(const QStringList& args, SimNetwork& network,
                             const QString& settingsFile) {
    InProcessRun run;
    cli::DeviceLinks& links = cli::deviceLinks();
    const cli::DeviceLinks system = links;
    links.clock = []() -> Clock& { return deviceThreadClock(); };
    links.transports = [&] { return std::make_unique<NetworkLinks>(network); };
    deviceThreadClock().catchUp();
    const std::int64_t started = latestDeviceMs.load();
    runCapturing(args, settingsFile, run);
    links = system;
    run.virtualMs = latestDeviceMs.load() - started;
    return run;
}

}  // namespace flashmere::testing
