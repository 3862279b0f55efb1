#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace flashmere {

// One open connection to a device: a serial port or a TCP socket. The
// protocol code above never touches the operating system; each backend
// implements these few operations. Every call happens on the thread that
// opened the transport.
class Transport {
  public:
    virtual ~Transport() = default;

    // Serial: the port is open. TCP: the socket is connected right now.
    virtual bool connected() const = 0;

    // Drops whatever input is waiting (stale bytes from an earlier reply or
    // from line noise), and for a serial port whatever output is queued.
    virtual void discardInput() = 0;

    // Writes the whole buffer; returns false when the backend could not.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // Why the last write returned false, in the system's words; empty when
    // the backend keeps no such words.
    virtual std::string writeFailure() const { return {}; }

    // Blocks until at least one byte is waiting or timeoutMs has passed, then
    // copies at most out.size() waiting bytes into out. Returns the number of
    // bytes copied; 0 means the wait timed out or the connection failed.
    virtual std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) = 0;

    virtual void close() = 0;

    // Why connected() turned false without close(): the system's words for
    // a peer that closed or reset the connection, or a port that reported
    // an error or hang-up. Empty when the backend keeps no such words.
    virtual std::string lossNote() const { return {}; }
};

// Receives the link's hexadecimal traces and diagnostic notes, for the
// operator to see (a command line prints them when asked).
class TraceSink {
  public:
    virtual ~TraceSink() = default;
    // The last request sent, in hexadecimal.
    virtual void setSentTrace(const std::string& text) = 0;
    // The last reply received, in hexadecimal.
    virtual void setReceivedTrace(const std::string& text) = 0;
    // Something the operator should know about the link, e.g. a serial
    // settings string that did not parse.
    virtual void linkNote(const std::string& text) = 0;
    // Every frame as it went over the line, for logs: each request as it was
    // written, and what came back for it (the reply, or the bytes that came
    // before the exchange ended, with how it ended when not with a reply).
    virtual void wireSent(std::span<const std::uint8_t> /*frame*/) {}
    virtual void wireReceived(std::span<const std::uint8_t> /*bytes*/,
                              const std::string& /*ending*/) {}
};

// A TraceSink that drops everything.
class NullTraceSink final : public TraceSink {
  public:
    void setSentTrace(const std::string&) override {}
    void setReceivedTrace(const std::string&) override {}
    void linkNote(const std::string&) override {}
};

// Opens backends. The serial open fails (nullptr) when the port cannot be
// opened; the TCP open always yields a transport, connected or not, after
// waiting at most connectTimeoutMs for the connection.
class TransportFactory {
  public:
    virtual ~TransportFactory() = default;
    // Why the last open failed (the serial port did not open, the TCP
    // connection did not come up) and what to check, for the operator; empty
    // after an open that worked or when the backend cannot tell.
    virtual std::string lastOpenFailure() const { return {}; }
    virtual std::unique_ptr<Transport> openSerial(const std::string& portName,
                                                  const std::string& modeString,
                                                  TraceSink& trace) = 0;
    virtual std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                               std::int64_t connectTimeoutMs) = 0;
};

}  // namespace flashmere
