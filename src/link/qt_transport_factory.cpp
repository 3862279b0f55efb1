#include "link/qt_transport_factory.h"

#include "link/qt_tcp_transport.h"
#include "link/serial_backend.h"

namespace flashmere {

std::unique_ptr<Transport> QtTransportFactory::openSerial(const std::string& portName,
                                                          const std::string& modeString,
                                                          TraceSink& trace) {
    lastOpenFailure_.clear();
    return openSerialPort(portName, modeString, trace, &lastOpenFailure_);
}

std::unique_ptr<Transport> QtTransportFactory::openTcp(const std::string& host, std::uint16_t port,
                                                       std::int64_t connectTimeoutMs) {
    lastOpenFailure_.clear();
    return QtTcpTransport::connect(host, port, connectTimeoutMs, &lastOpenFailure_);
}

}  // namespace flashmere
