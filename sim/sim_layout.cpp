#include "sim_layout.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

namespace flashmere {
namespace {

using Range = std::pair<std::uint16_t, std::uint16_t>;

bool inRanges(std::uint16_t code, std::initializer_list<Range> ranges) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [code](const Range& r) { return code >= r.first && code <= r.second; });
}

bool oneOf(std::uint16_t code, std::initializer_list<std::uint16_t> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

std::uint32_t pageLimitFor(std::uint16_t model) {
    if (oneOf(model, {0x8400, 0x8402, 0x8301, 0x8302})) {
        return 2048;
    }
    if (oneOf(model, {0x8461, 0x8462, 0x0171, 0x0181})) {
        return 1024;
    }
    if (oneOf(model, {0x8101, 0x8102})) {
        return 1664;
    }
    if (model == 0x8111) {
        return 496;
    }
    if (model == 0x8081) {
        return 248;
    }
    if (model >= 0x0131 && model <= 0x0134) {
        return 223;
    }
    if (simInPageLimit512List(model)) {
        return 512;
    }
    if (oneOf(model, {0x8901, 0x8902, 0x8911, 0x8912, 0x8921, 0x8922})) {
        return 3840;
    }
    if (model == 0x8801) {
        return 3968;
    }
    return 128;
}

constexpr SimCommandSet kCommands60{0x603B, 0x6039, 0x603A, 0x6038};
constexpr SimCommandSet kCommands605{0x605D, 0x605B, 0x605C, 0x605A};

}  // namespace

bool simIsTextFamily(std::uint16_t model) {
    const auto family = model & 0xFFF0;
    return family == 0x8800 || family == 0x8900;
}

bool simInNoEraseList(std::uint16_t model) {
    return inRanges(
        model,
        {{0x0103, 0x0104}, {0x0106, 0x0107}, {0x010C, 0x010D}, {0x0111, 0x0112}, {0x0115, 0x0115},
         {0x0201, 0x0201}, {0x0301, 0x0304}, {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0401, 0x0401},
         {0x0601, 0x060A}, {0x0611, 0x0618}, {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648},
         {0x0651, 0x0656}, {0x0661, 0x0668}, {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694},
         {0x06A1, 0x06A4}, {0x06B1, 0x06B4}, {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712},
         {0x0721, 0x0721}, {0x8001, 0x8002}, {0x8021, 0x8022}, {0x8031, 0x8032}, {0x8081, 0x8081},
         {0x8911, 0x8912}, {0x8921, 0x8922}});
}

bool simInPageLimit512List(std::uint16_t model) {
    return inRanges(
        model,
        {{0x0103, 0x0104}, {0x0106, 0x0107}, {0x010C, 0x010D}, {0x0111, 0x0112}, {0x0115, 0x0115},
         {0x0121, 0x0122}, {0x0135, 0x0136}, {0x0141, 0x0142}, {0x0201, 0x0201}, {0x0301, 0x0304},
         {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0401, 0x0401}, {0x0601, 0x060A}, {0x0611, 0x0618},
         {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648}, {0x0651, 0x0656}, {0x0661, 0x0668},
         {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694}, {0x06A1, 0x06A4}, {0x06B1, 0x06B4},
         {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712}, {0x0721, 0x0721}, {0x8001, 0x8002},
         {0x8011, 0x8014}, {0x8021, 0x8022}, {0x8031, 0x8032}, {0x8501, 0x8501}, {0x8521, 0x8521},
         {0x8531, 0x8531}, {0x8541, 0x8541}, {0x8551, 0x8551}, {0x8561, 0x8561}, {0x8571, 0x8571},
         {0x8601, 0x8601}, {0x8661, 0x8661}, {0x8671, 0x8671}, {0x8681, 0x8681}, {0x8691, 0x8691},
         {0x86A1, 0x86A1}, {0x86B1, 0x86B1}, {0x86C1, 0x86C1}, {0x86D1, 0x86D1}, {0x86E1, 0x86E1},
         {0x8701, 0x8701}, {0x8791, 0x8791}, {0x87A1, 0x87A1}, {0x87B1, 0x87B1}, {0x87C1, 0x87C1}});
}

SimLayout simLayoutFor(std::uint16_t model) {
    SimLayout l;
    l.pageLimit = pageLimitFor(model);
    const auto family = model & 0xFFF0;
    l.groupVersionQueries = family == 0x8300 || family == 0x8400;
    auto set = [&l](int row, std::uint32_t page, bool a16, std::uint32_t erasePages) {
        l.row = row;
        l.pageSize = page;
        l.address16 = a16;
        l.eraseBlock = erasePages * page;
    };
    if (simIsTextFamily(model)) {
        // Text loaders take whole pages and overwrite them; there is no erase.
        set(0, 256, false, 0);
        l.textProtocol = true;
        l.writeReplaces = true;
    } else if (model == 0x8401) {
        set(1, 256, true, 4);
        l.commands = kCommands60;
    } else if (model == 0x8400) {
        set(2, 128, false, 32);
    } else if (model == 0x8402) {
        set(3, 128, false, 16);
        l.commands = kCommands605;
    } else if (model == 0x8303) {
        set(4, 256, true, 4);
        l.commands = kCommands60;
    } else if (model == 0x8302) {
        set(5, 128, false, 16);
        l.commands = kCommands605;
    } else if (model == 0x8301) {
        set(6, 128, false, 32);
    } else if (oneOf(model, {0x8461, 0x8462, 0x0171, 0x0181})) {
        set(7, 256, false, 8);
    } else if (oneOf(model, {0x8101, 0x8102, 0x8111})) {
        set(8, 256, false, 16);
    } else if (model >= 0x0131 && model <= 0x0134) {
        // Blocks of two pages aligned to 512 bytes; the program area starts
        // half-way into the block at 0x3000, so page 0 is erased alone.
        set(9, 256, true, 2);
        l.base = 0x3100;
    } else if (oneOf(model,
                     {0x0151, 0x8411, 0x8421, 0x8425, 0x8431, 0x8441, 0x8451, 0x8471, 0x8472})) {
        set(10, 256, true, 4);
    } else if (simInNoEraseList(model)) {
        set(11, 256, false, 0);
        l.writeReplaces = true;
    } else {
        set(12, 256, true, 2);
    }
    std::uint32_t size = l.base + l.pageLimit * l.pageSize;
    if (l.eraseBlock != 0) {
        size = (size + l.eraseBlock - 1) / l.eraseBlock * l.eraseBlock;
    }
    l.memorySize = size;
    return l;
}

}  // namespace flashmere
