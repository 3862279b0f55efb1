#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "sim_bus.h"

namespace flashmere {

// The transcript as JSON lines; on a line with several devices every line
// starts with the ID of the device it comes from.
class DevsimLog {
  public:
    // False when the file cannot be written.
    bool open(const std::string& path);
    // Writes the events that came since the last call (when a file is open)
    // and makes the devices forget them: the process keeps no history.
    void flush(SimBus& bus);

  private:
    std::ofstream file_;
};

// The program memory at exit. One device: path is its file. Several: path is
// a folder (made when missing) that receives ID.bin for every device.
bool writeDevsimDump(const std::string& path, const SimBus& bus);

}  // namespace flashmere
