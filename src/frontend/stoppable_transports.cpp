#include "frontend/stoppable_transports.h"

#include <utility>

namespace flashmere {

namespace {

class StoppableTransport final : public Transport {
  public:
    StoppableTransport(std::unique_ptr<Transport> inner, std::shared_ptr<const StopRequest> stop)
        : inner_(std::move(inner)), stop_(std::move(stop)) {}

    bool connected() const override { return !stopped() && inner_->connected(); }
    void discardInput() override {
        if (!stopped()) {
            inner_->discardInput();
        }
    }
    bool write(std::span<const std::uint8_t> bytes) override {
        return !stopped() && inner_->write(bytes);
    }
    std::string writeFailure() const override {
        return stopped() ? std::string(kStoppedByOperator) : inner_->writeFailure();
    }
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override {
        return stopped() ? 0 : inner_->readWaiting(out, timeoutMs);
    }
    void close() override { inner_->close(); }
    std::string lossNote() const override {
        return stopped() ? stop_->reason() : inner_->lossNote();
    }

  private:
    bool stopped() const { return stop_->requested(); }

    std::unique_ptr<Transport> inner_;
    std::shared_ptr<const StopRequest> stop_;
};

}  // namespace

StoppableTransports::StoppableTransports(std::unique_ptr<TransportFactory> inner,
                                         std::shared_ptr<const StopRequest> stop)
    : inner_(std::move(inner)), stop_(std::move(stop)) {}

std::string StoppableTransports::lastOpenFailure() const {
    return refused_ ? stop_->reason() : inner_->lastOpenFailure();
}

std::unique_ptr<Transport> StoppableTransports::wrap(std::unique_ptr<Transport> transport) {
    if (!transport) {
        return nullptr;
    }
    return std::make_unique<StoppableTransport>(std::move(transport), stop_);
}

std::unique_ptr<Transport> StoppableTransports::openSerial(const std::string& portName,
                                                           const std::string& modeString,
                                                           TraceSink& trace) {
    refused_ = stop_->requested();
    return refused_ ? nullptr : wrap(inner_->openSerial(portName, modeString, trace));
}

std::unique_ptr<Transport> StoppableTransports::openTcp(const std::string& host, std::uint16_t port,
                                                        std::int64_t connectTimeoutMs) {
    refused_ = stop_->requested();
    return refused_ ? nullptr : wrap(inner_->openTcp(host, port, connectTimeoutMs));
}

}  // namespace flashmere
