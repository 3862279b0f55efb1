#include "link/qt_transport_factory.h"

#include "link/qt_serial_transport.h"
#include "link/qt_tcp_transport.h"

namespace flashmere {

std::unique_ptr<Transport> QtTransportFactory::openSerial(const std::string& portName,
                                                          const std::string& modeString,
                                                          TraceSink& trace) {
    return QtSerialTransport::open(portName, modeString, trace);
}

std::unique_ptr<Transport> QtTransportFactory::openTcp(const std::string& host, std::uint16_t port,
                                                       std::int64_t connectTimeoutMs) {
    return QtTcpTransport::connect(host, port, connectTimeoutMs);
}

}  // namespace flashmere
