#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace flashmere {

// SHA-256 of a byte stream fed in pieces, for naming exactly the bytes a
// firmware load read (the history records it beside the file's name).
class Sha256 {
  public:
    Sha256();
    void add(const void* data, std::size_t size);
    // The digest as 64 lower-case hexadecimal digits; the hash is finished
    // and must not be fed again.
    std::string hex();

  private:
    void block(const std::uint8_t* chunk);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace flashmere
