#include "devsim_output.h"

#include <sys/stat.h>

#include <cerrno>

namespace flashmere {
namespace {

bool writeDumpFile(const std::string& path, const SimDevice& device) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto mem = device.memory();
    out.write(reinterpret_cast<const char*>(mem.data()), static_cast<std::streamsize>(mem.size()));
    return static_cast<bool>(out);
}

}  // namespace

bool DevsimLog::open(const std::string& path) {
    file_.open(path, std::ios::trunc);
    return static_cast<bool>(file_);
}

void DevsimLog::flush(SimBus& bus) {
    for (std::size_t i = 0; i < bus.size(); ++i) {
        SimDevice& device = bus.device(i);
        if (file_.is_open()) {
            for (const SimEvent& event : device.transcript()) {
                std::string line = toJsonLine(event);
                if (bus.size() > 1) {
                    line.insert(1, "\"device\":" + std::to_string(device.config().id) + ",");
                }
                file_ << line << '\n';
            }
        }
        device.forgetTranscript();
    }
    if (file_.is_open()) {
        file_.flush();
    }
}

bool writeDevsimDump(const std::string& path, const SimBus& bus) {
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

}  // namespace flashmere
