#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/transport.h"
#include "sim_device.h"

namespace flashmere {

class SimBus;
class SimTransportFactory;

// What a link reaches: one device, or several on a shared line.
class SimLine {
  public:
    virtual ~SimLine() = default;
    virtual void receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs) = 0;
    virtual std::vector<SimOutput> takeDue(std::int64_t nowMs) = 0;
    virtual std::optional<std::int64_t> nextDueMs() const = 0;
    virtual void linkOpened(std::int64_t nowMs) = 0;
    virtual void linkClosed(std::int64_t nowMs) = 0;
    virtual void noteFlush(std::size_t count, std::int64_t nowMs) = 0;
};

// A link to a SimLine inside the process. Written bytes reach the devices at
// the clock's time; reads return their output once it is due, and a
// read that finds nothing due moves the clock: a VirtualClock is advanced, a
// real clock is slept on.
class SimTransport final : public Transport {
  public:
    SimTransport(SimTransportFactory& factory, bool connected);
    ~SimTransport() override;

    bool connected() const override;
    void discardInput() override;
    bool write(std::span<const std::uint8_t> bytes) override;
    std::string writeFailure() const override;
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override;
    void close() override;

  private:
    void collectDue();
    void waitUntil(std::int64_t targetMs);

    SimTransportFactory& factory_;
    bool open_ = true;
    bool connected_;
    std::deque<std::uint8_t> buffered_;
};

// Opens SimTransports to one SimDevice, or to the devices of a SimBus, and
// counts what the host did.
class SimTransportFactory final : public TransportFactory {
  public:
    SimTransportFactory(SimDevice& device, Clock& clock);
    SimTransportFactory(SimBus& bus, Clock& clock);
    ~SimTransportFactory() override;

    // The serial port "does not exist": openSerial gives nullptr.
    bool serialOpenFails = false;
    // The TCP peer never accepts: openTcp waits its timeout and gives a
    // transport that is not connected.
    bool tcpNeverConnects = false;
    // After this many writes every write fails, the link staying up (a port
    // whose driver takes nothing more); negative: writes never fail.
    int writesBeforeFailure = -1;

    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace) override;
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override;

    int serialOpens() const { return serialOpens_; }
    int opens() const { return serialOpens_ + tcpOpens_; }
    int closes() const { return closes_; }
    // Transports opened and not yet closed.
    int openNow() const { return opens() - failedOpens_ - closes_; }
    const std::string& lastPortName() const { return lastPortName_; }
    std::uint16_t lastPort() const { return lastPort_; }

    Clock& clock() { return clock_; }

  private:
    friend class SimTransport;
    std::unique_ptr<SimLine> line_;
    Clock& clock_;
    int serialOpens_ = 0;
    int tcpOpens_ = 0;
    int failedOpens_ = 0;
    int closes_ = 0;
    int writes_ = 0;
    std::string lastPortName_;
    std::uint16_t lastPort_ = 0;
};

}  // namespace flashmere
