#pragma once

#include <string>

#include "link/transport.h"

namespace flashmere {

// Opens serial ports through the platform's serial backend
// (link/serial_backend.h) and TCP links through QTcpSocket.
// The transports it returns belong to the calling thread, which must have a
// Qt event dispatcher (a QThread, or the main thread once the application
// object exists); they only use blocking waits, no event loop has to run.
class QtTransportFactory final : public TransportFactory {
  public:
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace) override;
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override;
    std::string lastOpenFailure() const override { return lastOpenFailure_; }

  private:
    std::string lastOpenFailure_;
};

}  // namespace flashmere
