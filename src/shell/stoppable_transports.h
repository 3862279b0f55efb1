#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "link/transport.h"

namespace flashmere {

// What a run stopped by the operator says about its link.
inline constexpr const char* kStoppedByOperator =
    "the operator stopped the run when closing the window";

// The links of one device operation that the window can stop: once the flag
// is set, every open transport reads as gone (its loss note says why) and no
// new one opens, so the operation ends at its next exchange the way it ends
// for a lost link, with the link closed and nothing called a success.
class StoppableTransports final : public TransportFactory {
  public:
    StoppableTransports(std::unique_ptr<TransportFactory> inner,
                        std::shared_ptr<const std::atomic<bool>> stop);

    std::string lastOpenFailure() const override;
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace) override;
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override;

  private:
    std::unique_ptr<Transport> wrap(std::unique_ptr<Transport> transport);

    std::unique_ptr<TransportFactory> inner_;
    std::shared_ptr<const std::atomic<bool>> stop_;
    bool refused_ = false;  // the last open was refused because of the stop
};

}  // namespace flashmere
