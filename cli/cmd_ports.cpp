#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "console_panel.h"
#include "device_options.h"
#include "link/serial_backend.h"

namespace flashmere::cli {
namespace {

// The system's texts, one line each, fit for a table and JSON.
std::vector<SerialPortEntry> systemPorts() {
    std::vector<SerialPortEntry> ports = listSerialPorts();
    for (SerialPortEntry& p : ports) {
        for (std::string* field :
             {&p.name, &p.path, &p.description, &p.manufacturer, &p.usbId, &p.serialNumber}) {
            *field = oneLine(*field);
        }
    }
    return ports;
}

void printJson(const std::vector<SerialPortEntry>& ports) {
    std::string out = "[";
    for (const SerialPortEntry& p : ports) {
        out += (out.size() > 1 ? ",{" : "{");
        out += "\"name\":" + jsonString(p.name) + ",\"path\":" + jsonString(p.path) +
               ",\"description\":" + jsonString(p.description) +
               ",\"manufacturer\":" + jsonString(p.manufacturer) +
               ",\"usb\":" + jsonString(p.usbId) + ",\"serial\":" + jsonString(p.serialNumber) +
               "}";
    }
    std::printf("%s]\n", out.c_str());
}

void printTable(const std::vector<SerialPortEntry>& ports) {
    if (ports.empty()) {
        std::printf("no serial ports found\n");
        return;
    }
    const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const SerialPortEntry& p : ports) {
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", p.name.c_str(), p.path.c_str(),
                    orDash(p.description).c_str(), orDash(p.manufacturer).c_str(),
                    orDash(p.usbId).c_str(), orDash(p.serialNumber).c_str());
    }
}

}  // namespace

int runPortsCommand(const PortsArgs& args) {
    ensureQtApplication();
    const std::vector<SerialPortEntry> ports = systemPorts();
    if (args.json) {
        printJson(ports);
    } else {
        printTable(ports);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace flashmere::cli
