#pragma once

#include <memory>
#include <string>

#include "frontend/stop_request.h"
#include "link/transport.h"

namespace flashmere {

// The links of one device operation that can be stopped from outside: once
// the stop is requested, every open transport reads as gone (its loss note
// gives the stop's reason) and no new one opens, so the operation ends at
// its next exchange the way it ends for a lost link, with the link closed
// and nothing called a success.
class StoppableTransports final : public TransportFactory {
  public:
    StoppableTransports(std::unique_ptr<TransportFactory> inner,
                        std::shared_ptr<const StopRequest> stop);

    std::string lastOpenFailure() const override;
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace) override;
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override;

  private:
    std::unique_ptr<Transport> wrap(std::unique_ptr<Transport> transport);

    std::unique_ptr<TransportFactory> inner_;
    std::shared_ptr<const StopRequest> stop_;
    bool refused_ = false;  // the last open was refused because of the stop
};

}  // namespace flashmere
