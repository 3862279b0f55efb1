#include "sim_transport.h"

#include <algorithm>

#include "link/virtual_clock.h"
#include "sim_bus.h"

namespace flashmere {

SimTransport::SimTransport(SimTransportFactory& factory, bool connected)
    : factory_(factory), connected_(connected) {
    if (connected_) {
        factory_.line_->linkOpened(factory_.clock_.nowMs());
    }
}

SimTransport::~SimTransport() {
    close();
}

bool SimTransport::connected() const {
    return open_ && connected_;
}

void SimTransport::collectDue() {
    if (!connected()) {
        return;
    }
    for (auto& out : factory_.line_->takeDue(factory_.clock_.nowMs())) {
        if (out.disconnect) {
            // The device hung up: what it sent before still arrives.
            buffered_.insert(buffered_.end(), out.bytes.begin(), out.bytes.end());
            connected_ = false;
            factory_.line_->linkClosed(factory_.clock_.nowMs());
            return;
        }
        buffered_.insert(buffered_.end(), out.bytes.begin(), out.bytes.end());
    }
}

void SimTransport::discardInput() {
    collectDue();
    if (!buffered_.empty()) {
        factory_.line_->noteFlush(buffered_.size(), factory_.clock_.nowMs());
        buffered_.clear();
    }
}

bool SimTransport::write(std::span<const std::uint8_t> bytes) {
    collectDue();
    if (!connected()) {
        return false;
    }
    const int limit = factory_.writesBeforeFailure;
    if (limit >= 0 && factory_.writes_ >= limit) {
        return false;
    }
    ++factory_.writes_;
    factory_.line_->receive(bytes, factory_.clock_.nowMs());
    return true;
}

std::string SimTransport::writeFailure() const {
    return connected() ? "Resource temporarily unavailable" : "the link is closed";
}

void SimTransport::waitUntil(std::int64_t targetMs) {
    Clock& clock = factory_.clock_;
    const std::int64_t now = clock.nowMs();
    if (targetMs <= now) {
        return;
    }
    if (auto* virtualClock = dynamic_cast<VirtualClock*>(&clock)) {
        virtualClock->advance(targetMs - now);
    } else {
        clock.sleepMs(targetMs - now);
    }
}

std::size_t SimTransport::readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) {
    Clock& clock = factory_.clock_;
    const std::int64_t deadline = clock.nowMs() + std::max<std::int64_t>(timeoutMs, 0);
    for (;;) {
        collectDue();
        if (!buffered_.empty()) {
            const std::size_t n = std::min(out.size(), buffered_.size());
            std::copy_n(buffered_.begin(), n, out.begin());
            buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(n));
            return n;
        }
        if (!connected()) {
            return 0;
        }
        const std::int64_t now = clock.nowMs();
        if (now >= deadline) {
            return 0;
        }
        const auto next = factory_.line_->nextDueMs();
        const std::int64_t target = next ? std::min(std::max(*next, now), deadline) : deadline;
        if (target == now) {
            // Due now yet not taken: cannot happen, but never spin.
            waitUntil(now + 1);
        } else {
            waitUntil(target);
        }
    }
}

void SimTransport::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    ++factory_.closes_;
    if (connected_) {
        connected_ = false;
        factory_.line_->linkClosed(factory_.clock_.nowMs());
    }
    buffered_.clear();
}

namespace {

// SimDevice and SimBus take a line's calls alike.
template <class Line>
class LineOf final : public SimLine {
  public:
    explicit LineOf(Line& line) : line_(line) {}
    void receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs) override {
        line_.receive(bytes, nowMs);
    }
    std::vector<SimOutput> takeDue(std::int64_t nowMs) override { return line_.takeDue(nowMs); }
    std::optional<std::int64_t> nextDueMs() const override { return line_.nextDueMs(); }
    void linkOpened(std::int64_t nowMs) override { line_.linkOpened(nowMs); }
    void linkClosed(std::int64_t nowMs) override { line_.linkClosed(nowMs); }
    void noteFlush(std::size_t count, std::int64_t nowMs) override {
        line_.noteFlush(count, nowMs);
    }

  private:
    Line& line_;
};

}  // namespace

SimTransportFactory::SimTransportFactory(SimDevice& device, Clock& clock)
    : line_(std::make_unique<LineOf<SimDevice>>(device)), clock_(clock) {}

SimTransportFactory::SimTransportFactory(SimBus& bus, Clock& clock)
    : line_(std::make_unique<LineOf<SimBus>>(bus)), clock_(clock) {}

SimTransportFactory::~SimTransportFactory() = default;

std::unique_ptr<Transport> SimTransportFactory::openSerial(const std::string& portName,
                                                           const std::string&, TraceSink&) {
    ++serialOpens_;
    lastPortName_ = portName;
    if (serialOpenFails) {
        ++failedOpens_;
        return nullptr;
    }
    return std::make_unique<SimTransport>(*this, true);
}

std::unique_ptr<Transport> SimTransportFactory::openTcp(const std::string&, std::uint16_t port,
                                                        std::int64_t connectTimeoutMs) {
    ++tcpOpens_;
    lastPort_ = port;
    if (tcpNeverConnects) {
        const std::int64_t until = clock_.nowMs() + std::max<std::int64_t>(connectTimeoutMs, 0);
        if (auto* virtualClock = dynamic_cast<VirtualClock*>(&clock_)) {
            virtualClock->advance(until - clock_.nowMs());
        } else {
            clock_.sleepMs(until - clock_.nowMs());
        }
        return std::make_unique<SimTransport>(*this, false);
    }
    return std::make_unique<SimTransport>(*this, true);
}

}  // namespace flashmere
