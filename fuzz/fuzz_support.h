#pragma once

// Shared pieces of the fuzz harnesses: a reader over the fuzzer's bytes, an
// in-memory transport that hands a reply to the link in pieces on a virtual
// clock, and a scratch file for the parsers that read files.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/link_channel.h"
#include "link/reply_frame.h"
#include "link/transport.h"
#include "link/virtual_clock.h"

// A broken invariant is a finding: print it and abort so that libFuzzer
// stores the input as a crash.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "fuzz invariant broken: %s at %s:%d\n", #cond, __FILE__, \
                         __LINE__);                                                       \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

namespace flashmere::fuzz {

// Reads the fuzzer's bytes from the front; past the end every value is 0.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const auto hi = u8();
        return static_cast<std::uint16_t>(hi << 8 | u8());
    }
    std::uint32_t u32() {
        const std::uint32_t hi = u16();
        return hi << 16 | u16();
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, remaining());
        const std::span<const std::uint8_t> out(data_ + pos_, n);
        pos_ += n;
        return out;
    }
    std::span<const std::uint8_t> rest() { return bytes(remaining()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// xorshift32: split points and gaps that depend only on the input.
class SplitRng {
  public:
    explicit SplitRng(std::uint32_t seed) : state_(seed * 2654435761u | 1u) {}
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    std::uint32_t state_;
};

// How the in-memory line delivers the reply.
struct LineShape {
    std::size_t maxPiece = 1;  // each read returns 1..maxPiece bytes
    bool gaps = false;         // pauses below the silence limit between pieces
    std::uint32_t seed = 1;
};

// The first byte of a link harness input: bit 0 NET, bits 1-2 the PIN box,
// bits 3-5 the largest piece, bit 6 gaps; the second byte seeds the splits.
inline LineShape lineShapeFrom(std::uint8_t flags, std::uint8_t seed) {
    static constexpr std::array<std::size_t, 8> kPieces = {1, 2, 3, 7, 16, 64, 512, 10240};
    LineShape shape;
    shape.maxPiece = kPieces[(flags >> 3) & 7U];
    shape.gaps = (flags & 0x40) != 0;
    shape.seed = seed;
    return shape;
}

inline const char* pinTextFrom(std::uint8_t flags) {
    static constexpr std::array<const char*, 4> kPins = {"9174", "1234", "", "zz"};
    return kPins[(flags >> 1) & 3U];
}

// A connected line that answers every request with the given bytes, cut
// into pieces, then stays silent. Every wait moves the virtual clock, so a
// silent line ends the exchange after the silence limit.
class PieceTransport final : public Transport {
  public:
    PieceTransport(std::span<const std::uint8_t> reply, LineShape shape, VirtualClock& clock)
        : reply_(reply), shape_(shape), rng_(shape.seed), clock_(clock) {}

    bool connected() const override { return true; }
    void discardInput() override {}
    bool write(std::span<const std::uint8_t> bytes) override {
        written_ += bytes.size();
        return true;
    }
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override {
        FUZZ_CHECK(timeoutMs > 0);
        FUZZ_CHECK(!out.empty());
        if (pos_ >= reply_.size()) {
            clock_.advance(timeoutMs);
            return 0;
        }
        if (shape_.gaps) {
            // Below the shortest wait the link ever asks for (the silence
            // limit less the send pause), so no gap ends the exchange.
            const auto gap = static_cast<std::int64_t>(rng_.next() % 900);
            clock_.advance(std::min(gap, timeoutMs - 1));
        }
        std::size_t n = 1 + rng_.next() % shape_.maxPiece;
        n = std::min({n, reply_.size() - pos_, out.size()});
        std::copy_n(reply_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out.begin());
        pos_ += n;
        return n;
    }
    void close() override {}

    std::size_t delivered() const { return pos_; }

  private:
    std::span<const std::uint8_t> reply_;
    LineShape shape_;
    SplitRng rng_;
    VirtualClock& clock_;
    std::size_t pos_ = 0;
    std::size_t written_ = 0;
};

class PieceTransportFactory final : public TransportFactory {
  public:
    PieceTransportFactory(std::span<const std::uint8_t> reply, LineShape shape, VirtualClock& clock)
        : reply_(reply), shape_(shape), clock_(clock) {}

    std::unique_ptr<Transport> openSerial(const std::string&, const std::string&,
                                          TraceSink&) override {
        return std::make_unique<PieceTransport>(reply_, shape_, clock_);
    }
    std::unique_ptr<Transport> openTcp(const std::string&, std::uint16_t, std::int64_t) override {
        return std::make_unique<PieceTransport>(reply_, shape_, clock_);
    }

  private:
    std::span<const std::uint8_t> reply_;
    LineShape shape_;
    VirtualClock& clock_;
};

// A trace sink that keeps only sizes (the texts are built and dropped).
class CountingTraceSink final : public TraceSink {
  public:
    void setSentTrace(const std::string& text) override { tx += text.size(); }
    void setReceivedTrace(const std::string& text) override { rx += text.size(); }
    void linkNote(const std::string& text) override { notes += text.size(); }
    std::size_t tx = 0;
    std::size_t rx = 0;
    std::size_t notes = 0;
};

// One scratch file per process, rewritten for every input.
class ScratchFile {
  public:
    explicit ScratchFile(const char* suffix) {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/flashmere-fuzz-" +
                std::to_string(::getpid()) + suffix;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void write(std::span<const std::uint8_t> bytes) const {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        if (!bytes.empty()) {
            FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
        }
        FUZZ_CHECK(std::fclose(f) == 0);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Feeds the line to a collector byte by byte, as the link does, until it
// decides; the frame never holds more than its buffer.
template <typename Collector>
CollectResult collectDirectly(ReplyFrame& frame, std::span<const std::uint8_t> line) {
    frame.clearForExchange();
    Collector collector(frame);
    for (const std::uint8_t b : line) {
        const CollectResult result = collector.feed(b);
        FUZZ_CHECK(frame.fill < kFrameBufferSize);
        if (result != CollectResult::Continue) {
            return result;
        }
    }
    return CollectResult::Continue;
}

}  // namespace flashmere::fuzz
