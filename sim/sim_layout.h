#pragma once

#include <cstdint>

namespace flashmere {

// Command codes one device family accepts for its loader work.
struct SimCommandSet {
    std::uint16_t erase = 0x003B;
    std::uint16_t program = 0x0039;
    std::uint16_t read = 0x003A;
    std::uint16_t mode = 0x0038;
};

// The program memory of one model family as the device's loader sees it.
struct SimLayout {
    bool textProtocol = false;         // model AND 0xFFF0 is 0x8800 or 0x8900
    bool groupVersionQueries = false;  // groups 0x83 and 0x84 answer 0x6037 and 0x605F
    std::uint32_t pageSize = 256;
    std::uint32_t pageLimit = 128;
    std::uint32_t base = 0;  // address of page 0
    // The loader takes erase and program addresses only up to 0xFFFF (head byte 5 zero).
    bool address16 = false;
    std::uint32_t eraseBlock = 512;  // bytes, aligned to its size; 0 = no erase command
    bool writeReplaces = false;      // programming overwrites instead of clearing bits
    SimCommandSet commands;
    std::uint32_t memorySize = 0;  // bytes from address 0; covers base + pageLimit pages

    std::uint32_t pageAddress(std::uint32_t pageIndex) const { return base + pageIndex * pageSize; }
};

SimLayout simLayoutFor(std::uint16_t model);

// Known-list helpers, also used by the tests.
bool simIsTextFamily(std::uint16_t model);
bool simInNoEraseList(std::uint16_t model);
bool simInPageLimit512List(std::uint16_t model);

}  // namespace flashmere
