#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "link/transport.h"

class QTcpSocket;

namespace flashmere {

// A TCP client connection through QTcpSocket, used with blocking waits.
// Create and use it on one thread that has a Qt event dispatcher (a QThread,
// or the main thread once the application object exists).
class QtTcpTransport final : public Transport {
  public:
    // Connects to host (a name or an address) and port, waiting at most
    // connectTimeoutMs. Always returns a transport; when the connection did
    // not come up, connected() is false, every exchange fails at once, and
    // *whyNot (when given) tells why: refused, unreachable, name not found,
    // no answer in time.
    static std::unique_ptr<QtTcpTransport> connect(const std::string& host, std::uint16_t port,
                                                   std::int64_t connectTimeoutMs,
                                                   std::string* whyNot = nullptr);
    ~QtTcpTransport() override;
    QtTcpTransport(const QtTcpTransport&) = delete;
    QtTcpTransport& operator=(const QtTcpTransport&) = delete;

    bool connected() const override;
    void discardInput() override;
    bool write(std::span<const std::uint8_t> bytes) override;
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override;
    void close() override;
    std::string lossNote() const override;
    std::string writeFailure() const override { return writeFailure_; }

  private:
    explicit QtTcpTransport(std::unique_ptr<QTcpSocket> socket);
    // What the system holds for the socket, without waiting.
    std::size_t readNow(std::span<std::uint8_t> out);

    bool writeFailed(std::string why);

    std::unique_ptr<QTcpSocket> socket_;
    std::string writeFailure_;
};

}  // namespace flashmere
