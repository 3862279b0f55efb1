#include "link/qt_tcp_transport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <algorithm>
#include <climits>

namespace flashmere {
namespace {

int clampWait(std::int64_t ms) {
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX));
}

// A request is small; a peer that takes longer than this to accept it is gone.
constexpr std::int64_t kWriteAllowanceMs = 5000;
// Stale input is dropped in at most this many rounds per discard.
constexpr int kMaxDiscardRounds = 16;

// Why a connection did not come up, with what to check.
std::string connectFailure(const QTcpSocket& socket, std::int64_t connectTimeoutMs) {
    switch (socket.error()) {
        case QAbstractSocket::ConnectionRefusedError:
            return "connection refused: nothing listens on that port (is the device running "
                   "there? is the port right?)";
        case QAbstractSocket::HostNotFoundError:
            return "host name not found: check the name, or give the IP address";
        case QAbstractSocket::NetworkError:
            return "unreachable (" + socket.errorString().toStdString() +
                   "): check the address, the cable and the network settings";
        case QAbstractSocket::SocketTimeoutError:
        case QAbstractSocket::UnknownSocketError:
            return "no connection within " + std::to_string(connectTimeoutMs) +
                   " ms: check the address and that the device is on the network";
        default:
            return socket.errorString().toStdString();
    }
}

}  // namespace

QtTcpTransport::QtTcpTransport(std::unique_ptr<QTcpSocket> socket) : socket_(std::move(socket)) {}

QtTcpTransport::~QtTcpTransport() {
    close();
}

std::unique_ptr<QtTcpTransport> QtTcpTransport::connect(const std::string& host, std::uint16_t port,
                                                        std::int64_t connectTimeoutMs,
                                                        std::string* whyNot) {
    auto socket = std::make_unique<QTcpSocket>();
    // Unbuffered: a request goes to the system in the write call itself. A
    // buffered socket arms a write notifier for it and disarms it once
    // written: two wake-ups of the thread's event loop for every request.
    socket->connectToHost(QString::fromStdString(host), port,
                          QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (socket->waitForConnected(clampWait(connectTimeoutMs))) {
        // Requests and replies are small and strictly alternate.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    } else {
        if (whyNot != nullptr) {
            *whyNot = connectFailure(*socket, connectTimeoutMs);
        }
        socket->abort();
    }
    return std::unique_ptr<QtTcpTransport>(new QtTcpTransport(std::move(socket)));
}

bool QtTcpTransport::connected() const {
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

void QtTcpTransport::discardInput() {
    if (!socket_) {
        return;
    }
    // Drop what the system holds for the socket, round by round while more
    // is there. Skipped, not read: readAll would build a copy of every byte.
    for (int round = 0; round < kMaxDiscardRounds && connected() && socket_->waitForReadyRead(0);
         ++round) {
        socket_->skip(socket_->bytesAvailable());
    }
}

bool QtTcpTransport::writeFailed(std::string why) {
    if (socket_ && socket_->error() != QAbstractSocket::UnknownSocketError) {
        why += " (" + socket_->errorString().toStdString() + ")";
    }
    writeFailure_ = std::move(why);
    return false;
}

bool QtTcpTransport::write(std::span<const std::uint8_t> bytes) {
    if (!connected()) {
        return writeFailed("the connection is closed");
    }
    if (bytes.empty()) {
        return true;
    }
    const qint64 queued = socket_->write(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<qint64>(bytes.size()));
    if (queued != static_cast<qint64>(bytes.size())) {
        return writeFailed("the system took " + std::to_string(std::max<qint64>(queued, 0)) +
                           " of " + std::to_string(bytes.size()) + " bytes");
    }
    // The system takes a small request at once: hand it over without first
    // polling for room, and wait only for what it could not take.
    socket_->flush();
    QElapsedTimer timer;
    timer.start();
    while (socket_->bytesToWrite() > 0) {
        const std::int64_t left = kWriteAllowanceMs - timer.elapsed();
        if (left <= 0 || !socket_->waitForBytesWritten(clampWait(left))) {
            return writeFailed("the peer took nothing within " + std::to_string(kWriteAllowanceMs) +
                               " ms");
        }
    }
    // A failed write aborts the socket, which also empties its buffer.
    return connected() || writeFailed("the connection closed while writing");
}

std::size_t QtTcpTransport::readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) {
    if (!socket_ || out.empty()) {
        return 0;
    }
    // The reply is mostly there already: one read takes it, without asking
    // first how much waits. Bytes that came before a hang-up are still
    // handed out.
    std::size_t got = readNow(out);
    if (got == 0 && connected()) {
        socket_->waitForReadyRead(clampWait(timeoutMs));
        got = readNow(out);
    }
    return got;
}

std::size_t QtTcpTransport::readNow(std::span<std::uint8_t> out) {
    const qint64 got =
        socket_->read(reinterpret_cast<char*>(out.data()), static_cast<qint64>(out.size()));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::string QtTcpTransport::lossNote() const {
    if (!socket_ || socket_->error() == QAbstractSocket::UnknownSocketError) {
        return {};
    }
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError) {
        return "connection closed by the device";
    }
    return "connection lost: " + socket_->errorString().toStdString();
}

void QtTcpTransport::close() {
    if (socket_) {
        socket_->abort();
        socket_.reset();
    }
}

}  // namespace flashmere
