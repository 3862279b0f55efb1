#include <QSerialPortInfo>
#include <cstdio>

#include "link/qt_serial_transport.h"
#include "link/serial_backend.h"

namespace flashmere {

std::vector<SerialPortEntry> listSerialPorts() {
    std::vector<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortEntry entry{info.portName().toStdString(),
                              info.systemLocation().toStdString(),
                              info.description().toStdString(),
                              info.manufacturer().toStdString(),
                              {},
                              info.serialNumber().toStdString()};
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", unsigned{info.vendorIdentifier()},
                          unsigned{info.productIdentifier()});
            entry.usbId = id;
        }
        ports.push_back(std::move(entry));
    }
    return ports;
}

std::vector<std::string> fallbackSerialPortNames() {
    std::vector<std::string> names;
    for (const char* stem : {"ttyS", "ttyUSB"}) {
        for (int i = 0; i < 8; ++i) {
            names.push_back(stem + std::to_string(i));
        }
    }
    return names;
}

std::unique_ptr<Transport> openSerialPort(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace,
                                          std::string* failure) {
    return QtSerialTransport::open(portName, modeString, trace, failure);
}

}  // namespace flashmere
