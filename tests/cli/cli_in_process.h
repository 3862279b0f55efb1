#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "sim_config.h"

namespace flashmere {
class SimDevice;
}

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

// Every link the command opens reaches device; goneAfterRun: once the
// device started a new program, no link connects to it any more.
InProcessRun runCliInProcess(const QStringList& args, SimDevice& device,
                             const QString& settingsFile, bool goneAfterRun = false);
// The same against a device made from flashmere-devsim's options.
InProcessRun runCliInProcess(const QStringList& args, const QStringList& simOptions,
                             const QString& settingsFile);

}  // namespace flashmere::testing
