#include "cli_in_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "commands.h"
#include "device_links.h"
#include "devsim_options.h"
#include "link/virtual_clock.h"
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

// The simulator's links, which stop connecting once the device has run its
// new program when asked to.
class SimLinks final : public TransportFactory {
  public:
    SimLinks(SimDevice& device, Clock& clock, bool goneAfterRun)
        : device_(device), links_(device, clock), goneAfterRun_(goneAfterRun) {}
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString,
                                          TraceSink& trace) override {
        links_.serialOpenFails = gone();
        return links_.openSerial(portName, modeString, trace);
    }
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override {
        links_.tcpNeverConnects = gone();
        return links_.openTcp(host, port, connectTimeoutMs);
    }

  private:
    bool gone() const { return goneAfterRun_ && device_.runCount() > 0; }

    SimDevice& device_;
    SimTransportFactory links_;
    bool goneAfterRun_;
};

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
    InProcessRun run;
    VirtualClock clock;
    cli::DeviceLinks& links = cli::deviceLinks();
    const cli::DeviceLinks system = links;
    links.clock = [&]() -> Clock& { return clock; };
    links.transports = [&] { return std::make_unique<SimLinks>(device, clock, goneAfterRun); };
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
    links = system;
    run.virtualMs = clock.nowMs();
    return run;
}

}  // namespace flashmere::testing
