#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim_config.h"

namespace flashmere {
class SimBus;
class SimDevice;
}  // namespace flashmere

namespace flashmere::testing {

// flashmere-cli run inside the test process against one simulated device on
// a virtual clock: the command line, output and exit code of the program,
// in the time it takes to compute.
struct InProcessRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    std::int64_t virtualMs = 0;  // the run's length on its clock
    QStringList lines() const;
};

// The device flashmere-devsim's options describe ("--model 8401 --fault
// ..."); none when they do not describe one device.
std::optional<SimConfig> simConfigOf(const QStringList& simOptions);

// The port the single device of a run listens on, at any host.
constexpr std::uint16_t kSimDevicePort = 5003;
// device behind kSimDevicePort; goneAfterRun: once the device started a
// new program, no link connects to it any more.
InProcessRun runCliInProcess(const QStringList& args, SimDevice& device,
                             const QString& settingsFile, bool goneAfterRun = false);
// The same against a device made from flashmere-devsim's options.
InProcessRun runCliInProcess(const QStringList& args, const QStringList& simOptions,
                             const QString& settingsFile);

// Simulated devices behind TCP ports and serial port names, for a command
// that opens links from threads of its own (a fleet). A port without a
// device is one nobody listens on: its link never comes up; a serial port
// without a line does not open.
struct SimNetwork {
    std::map<std::uint16_t, SimDevice*> devices;  // by TCP port, whatever the host
    std::map<std::string, SimBus*> serialLines;   // by the port's name as given
    // Once a device started a new program, no link connects to it any more.
    bool goneAfterRun = false;
    // Called on the device's thread before each link to port opens.
    std::function<void(std::uint16_t port)> beforeOpen;
    // "host:port" or the port's name of every link opened, in order.
    std::vector<std::string> opened;
    std::mutex mutex;  // guards opened
};
// Each thread that runs a device gets a virtual clock of its own, which
// starts at the latest time any such thread has reached (the calling thread's
// catches up when the run starts): a device used by one run and then by the
// next never sees its time go back. virtualMs is the time the run's threads
// reached.
InProcessRun runCliInProcess(const QStringList& args, SimNetwork& network,
                             const QString& settingsFile);

}  // namespace flashmere::testing
