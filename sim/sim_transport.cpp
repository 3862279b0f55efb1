#include "sim_transport.h"

#include <algorithm>

#include "link/virtual_clock.h"

namespace flashmere {

SimTransport::SimTransport(SimTransportFactory& factory, bool connected)
    : factory_(factory), connected_(connected) {
    if (connected_) {
        factory_.device_.linkOpened(factory_.clock_.nowMs());
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
    for (auto& out : factory_.device_.takeDue(factory_.clock_.nowMs())) {
        if (out.disconnect) {
            // The device hung up: what it sent before still arrives.
            buffered_.insert(buffered_.end(), out.bytes.begin(), out.bytes.end());
            connected_ = false;
            factory_.device_.linkClosed(factory_.clock_.nowMs());
            return;
        }
        buffered_.insert(buffered_.end(), out.bytes.begin(), out.bytes.end());
    }
}

void SimTransport::discardInput() {
    collectDue();
    if (!buffered_.empty()) {
        factory_.device_.noteFlush(buffered_.size(), factory_.clock_.nowMs());
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
    factory_.device_.receive(bytes, factory_.clock_.nowMs());
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
        const auto next = factory_.device_.nextDueMs();
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
        factory_.device_.linkClosed(factory_.clock_.nowMs());
    }
    buffered_.clear();
}

SimTransportFactory::SimTransportFactory(SimDevice& device, Clock& clock)
    : device_(device), clock_(clock) {}

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
