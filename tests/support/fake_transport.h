#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "link/transport.h"
#include "link/virtual_clock.h"

namespace flashmere::testing {

// A piece of input that reaches the tool at a given time.
struct Piece {
    std::int64_t atMs;
    std::vector<std::uint8_t> bytes;
};

// The one fake transport of the tests, on the virtual clock. Each write is
// answered by onWrite when set (a scripted device), else by the next
// scripted reply, its pieces timed from the moment of the write. A wait with
// nothing due before it ends moves the clock by the whole timeout; input due
// exactly when a wait ends comes too late for it.
class FakeTransport final : public Transport {
  public:
    using Bytes = std::vector<std::uint8_t>;
    // Gets the bytes written; answers through deliver() or hangs up.
    using WriteHandler = std::function<void(FakeTransport&, const Bytes&)>;

    explicit FakeTransport(VirtualClock& clock, bool connected = true)
        : isConnected(connected), clock_(clock) {}

    bool isConnected = true;
    std::vector<std::vector<Piece>> replies;  // one per write, in order
    std::deque<Piece> incoming;               // absolute times
    std::vector<Bytes> written;
    std::vector<std::string> events;
    int* closeCount = nullptr;  // outlives the transport
    WriteHandler onWrite;
    std::string lossText;  // what lossNote() says; empty: the link's own words
    // Every write fails while connected, with these words (a port that
    // takes nothing, a socket the system refuses).
    bool writeFails = false;
    std::string writeError = "the system refused the bytes";

    // Bytes from the far end, afterMs from now.
    void deliver(Bytes bytes, std::int64_t afterMs = 0) {
        if (!bytes.empty()) {
            incoming.push_back({clock_.nowMs() + afterMs, std::move(bytes)});
        }
    }

    bool connected() const override { return isConnected; }
    void discardInput() override {
        events.push_back("discard");
        while (!incoming.empty() && incoming.front().atMs <= clock_.nowMs()) {
            incoming.pop_front();
        }
    }
    bool write(std::span<const std::uint8_t> bytes) override {
        if (!isConnected) {
            return false;
        }
        if (writeFails) {
            events.push_back("write failed");
            return false;
        }
        events.push_back("write");
        written.emplace_back(bytes.begin(), bytes.end());
        if (onWrite) {
            onWrite(*this, written.back());
        } else if (!replies.empty()) {
            for (auto& p : replies.front()) {
                incoming.push_back({clock_.nowMs() + p.atMs, p.bytes});
            }
            replies.erase(replies.begin());
        }
        return true;
    }
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override {
        if (!isConnected) {
            return 0;  // a hung-up line has nothing to wait for
        }
        const std::int64_t now = clock_.nowMs();
        if (!incoming.empty() && incoming.front().atMs < now + timeoutMs) {
            clock_.advance(std::max<std::int64_t>(0, incoming.front().atMs - now));
            Piece& p = incoming.front();
            const std::size_t n = std::min(out.size(), p.bytes.size());
            std::copy_n(p.bytes.begin(), n, out.begin());
            p.bytes.erase(p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            if (p.bytes.empty()) {
                incoming.pop_front();
            }
            return n;
        }
        clock_.advance(timeoutMs);
        return 0;
    }
    void close() override {
        if (closeCount != nullptr) {
            ++*closeCount;
        }
    }
    std::string lossNote() const override { return lossText; }
    std::string writeFailure() const override { return writeFails ? writeError : ""; }

  private:
    VirtualClock& clock_;
};

}  // namespace flashmere::testing
