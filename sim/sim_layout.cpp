#include "sim_layout.h"

#include <algorithm>
#include <iterator>
#include <span>

namespace flashmere {
namespace {

// The simulator's own record of the device families, kept apart from the
// tool's tables on purpose: it stands for the devices, and a test compares
// the two for every model code.

struct CodeRange {
    std::uint16_t first;
    std::uint16_t last;
};

struct SimFamily {
    std::span<const CodeRange> codes;  // empty: every other code
    std::uint32_t pageSize = 256;
    std::uint32_t pageLimit = 128;
    std::uint32_t base = 0;
    bool address16 = false;
    std::uint32_t erasePages = 0;  // pages in an erase block; 0: no erase, writes replace
    SimCommandSet commands = {};
};

constexpr SimCommandSet kCommands60{
    .erase = 0x603B, .program = 0x6039, .read = 0x603A, .mode = 0x6038};
constexpr SimCommandSet kCommands605{
    .erase = 0x605D, .program = 0x605B, .read = 0x605C, .mode = 0x605A};

constexpr CodeRange k8401[] = {{0x8401, 0x8401}};
constexpr CodeRange k8400[] = {{0x8400, 0x8400}};
constexpr CodeRange k8402[] = {{0x8402, 0x8402}};
constexpr CodeRange k8303[] = {{0x8303, 0x8303}};
constexpr CodeRange k8302[] = {{0x8302, 0x8302}};
constexpr CodeRange k8301[] = {{0x8301, 0x8301}};
constexpr CodeRange kEraseEvery8[] = {{0x8461, 0x8462}, {0x0171, 0x0171}, {0x0181, 0x0181}};
constexpr CodeRange k8101[] = {{0x8101, 0x8102}};
constexpr CodeRange k8111[] = {{0x8111, 0x8111}};
constexpr CodeRange k0131[] = {{0x0131, 0x0134}};
constexpr CodeRange kEraseEvery4[] = {{0x0151, 0x0151}, {0x8411, 0x8411}, {0x8421, 0x8421},
                                      {0x8425, 0x8425}, {0x8431, 0x8431}, {0x8441, 0x8441},
                                      {0x8451, 0x8451}, {0x8471, 0x8472}};
constexpr CodeRange k8081[] = {{0x8081, 0x8081}};
constexpr CodeRange kNoErase3840[] = {{0x8911, 0x8912}, {0x8921, 0x8922}};
constexpr CodeRange kNoErase512[] = {
    {0x0103, 0x0104}, {0x0106, 0x0107}, {0x010C, 0x010D}, {0x0111, 0x0112}, {0x0115, 0x0115},
    {0x0201, 0x0201}, {0x0301, 0x0304}, {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0401, 0x0401},
    {0x0601, 0x060A}, {0x0611, 0x0618}, {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648},
    {0x0651, 0x0656}, {0x0661, 0x0668}, {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694},
    {0x06A1, 0x06A4}, {0x06B1, 0x06B4}, {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712},
    {0x0721, 0x0721}, {0x8001, 0x8002}, {0x8021, 0x8022}, {0x8031, 0x8032}};
constexpr CodeRange kEraseEvery2Of512[] = {
    {0x0121, 0x0122}, {0x0135, 0x0136}, {0x0141, 0x0142}, {0x8011, 0x8014}, {0x8501, 0x8501},
    {0x8521, 0x8521}, {0x8531, 0x8531}, {0x8541, 0x8541}, {0x8551, 0x8551}, {0x8561, 0x8561},
    {0x8571, 0x8571}, {0x8601, 0x8601}, {0x8661, 0x8661}, {0x8671, 0x8671}, {0x8681, 0x8681},
    {0x8691, 0x8691}, {0x86A1, 0x86A1}, {0x86B1, 0x86B1}, {0x86C1, 0x86C1}, {0x86D1, 0x86D1},
    {0x86E1, 0x86E1}, {0x8701, 0x8701}, {0x8791, 0x8791}, {0x87A1, 0x87A1}, {0x87B1, 0x87B1},
    {0x87C1, 0x87C1}};
constexpr CodeRange kText8801[] = {{0x8801, 0x8801}};
constexpr CodeRange kText8901[] = {{0x8901, 0x8902}};
constexpr CodeRange kOtherText[] = {
    {0x8800, 0x8800}, {0x8802, 0x880F}, {0x8900, 0x8900}, {0x8903, 0x890F}};

constexpr SimFamily kFamilies[] = {
    {.codes = k8401, .address16 = true, .erasePages = 4, .commands = kCommands60},
    {.codes = k8400, .pageSize = 128, .pageLimit = 2048, .erasePages = 32},
    {.codes = k8402,
     .pageSize = 128,
     .pageLimit = 2048,
     .erasePages = 16,
     .commands = kCommands605},
    {.codes = k8303, .address16 = true, .erasePages = 4, .commands = kCommands60},
    {.codes = k8302,
     .pageSize = 128,
     .pageLimit = 2048,
     .erasePages = 16,
     .commands = kCommands605},
    {.codes = k8301, .pageSize = 128, .pageLimit = 2048, .erasePages = 32},
    {.codes = kEraseEvery8, .pageLimit = 1024, .erasePages = 8},
    {.codes = k8101, .pageLimit = 1664, .erasePages = 16},
    {.codes = k8111, .pageLimit = 496, .erasePages = 16},
    // Blocks of two pages aligned to 512 bytes; the program area starts
    // half-way into the block at 0x3000, so page 0 is erased alone.
    {.codes = k0131, .pageLimit = 223, .base = 0x3100, .address16 = true, .erasePages = 2},
    {.codes = kEraseEvery4, .address16 = true, .erasePages = 4},
    {.codes = k8081, .pageLimit = 248},
    {.codes = kNoErase3840, .pageLimit = 3840},
    {.codes = kNoErase512, .pageLimit = 512},
    {.codes = kEraseEvery2Of512, .pageLimit = 512, .address16 = true, .erasePages = 2},
    // Text loaders take whole pages and overwrite them; there is no erase.
    {.codes = kText8801, .pageLimit = 3968},
    {.codes = kText8901, .pageLimit = 3840},
    {.codes = kOtherText},
    {.codes = {}, .address16 = true, .erasePages = 2},
};

const SimFamily& familyFor(std::uint16_t model) {
    for (const SimFamily& family : kFamilies) {
        if (std::any_of(family.codes.begin(), family.codes.end(), [model](const CodeRange& r) {
                return model >= r.first && model <= r.last;
            })) {
            return family;
        }
    }
    return std::end(kFamilies)[-1];
}

}  // namespace

bool simIsTextFamily(std::uint16_t model) {
    const auto family = model & 0xFFF0;
    return family == 0x8800 || family == 0x8900;
}

bool simInNoEraseList(std::uint16_t model) {
    return !simIsTextFamily(model) && familyFor(model).erasePages == 0;
}

bool simInPageLimit512List(std::uint16_t model) {
    return familyFor(model).pageLimit == 512;
}

SimLayout simLayoutFor(std::uint16_t model) {
    const SimFamily& f = familyFor(model);
    SimLayout l;
    l.textProtocol = simIsTextFamily(model);
    const auto group = model & 0xFFF0;
    l.groupVersionQueries = group == 0x8300 || group == 0x8400;
    l.pageSize = f.pageSize;
    l.pageLimit = f.pageLimit;
    l.base = f.base;
    l.address16 = f.address16;
    l.eraseBlock = f.erasePages * f.pageSize;
    l.writeReplaces = f.erasePages == 0;
    l.commands = f.commands;
    std::uint32_t size = l.base + l.pageLimit * l.pageSize;
    if (l.eraseBlock != 0) {
        size = (size + l.eraseBlock - 1) / l.eraseBlock * l.eraseBlock;
    }
    l.memorySize = size;
    return l;
}

}  // namespace flashmere
