#include <QSerialPortInfo>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "console_panel.h"
#include "device_options.h"

namespace flashmere::cli {
namespace {

// What the system tells of one serial port; empty texts where it knows
// nothing (a port without USB has no vendor and product).
struct PortFacts {
    std::string name;
    std::string path;
    std::string description;
    std::string manufacturer;
    std::string usbId;  // "VVVV:PPPP" in hexadecimal
    std::string serialNumber;
};

std::string text(const QString& value) {
    return oneLine(value.toStdString());
}

std::vector<PortFacts> systemPorts() {
    std::vector<PortFacts> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortFacts facts{text(info.portName()),
                        text(info.systemLocation()),
                        text(info.description()),
                        text(info.manufacturer()),
                        {},
                        text(info.serialNumber())};
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", unsigned{info.vendorIdentifier()},
                          unsigned{info.productIdentifier()});
            facts.usbId = id;
        }
        ports.push_back(std::move(facts));
    }
    return ports;
}

void printJson(const std::vector<PortFacts>& ports) {
    std::string out = "[";
    for (const PortFacts& p : ports) {
        out += (out.size() > 1 ? ",{" : "{");
        out += "\"name\":" + jsonString(p.name) + ",\"path\":" + jsonString(p.path) +
               ",\"description\":" + jsonString(p.description) +
               ",\"manufacturer\":" + jsonString(p.manufacturer) +
               ",\"usb\":" + jsonString(p.usbId) + ",\"serial\":" + jsonString(p.serialNumber) +
               "}";
    }
    std::printf("%s]\n", out.c_str());
}

void printTable(const std::vector<PortFacts>& ports) {
    if (ports.empty()) {
        std::printf("no serial ports found\n");
        return;
    }
    const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const PortFacts& p : ports) {
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", p.name.c_str(), p.path.c_str(),
                    orDash(p.description).c_str(), orDash(p.manufacturer).c_str(),
                    orDash(p.usbId).c_str(), orDash(p.serialNumber).c_str());
    }
}

}  // namespace

int runPortsCommand(const PortsArgs& args) {
    ensureQtApplication();
    const std::vector<PortFacts> ports = systemPorts();
    if (args.json) {
        printJson(ports);
    } else {
        printTable(ports);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace flashmere::cli
