#include "device/model_tables.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

namespace flashmere {
namespace {

using CodeRange = ModelCodeRange;

bool inRanges(std::span<const CodeRange> ranges, std::uint16_t code) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [code](const CodeRange& r) { return code >= r.first && code <= r.last; });
}

constexpr std::array<std::uint16_t, 24> kNormalisationBases = {
    0x8501, 0x8701, 0x8791, 0x87A1, 0x87C1, 0x87B1, 0x8801, 0x8901, 0x86D1, 0x86E1, 0x8561, 0x8571,
    0x8521, 0x8541, 0x8531, 0x8551, 0x8601, 0x8691, 0x86A1, 0x86B1, 0x86C1, 0x8671, 0x8661, 0x8681};

constexpr CodeRange kKnownModels[] = {
    {0x0101, 0x010D}, {0x0111, 0x0115}, {0x0121, 0x0122}, {0x0131, 0x0136}, {0x0141, 0x0144},
    {0x0151, 0x0151}, {0x0171, 0x0171}, {0x0181, 0x0181}, {0x0201, 0x0201}, {0x0301, 0x0304},
    {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0381, 0x0381}, {0x0391, 0x0391}, {0x0401, 0x0401},
    {0x0601, 0x060A}, {0x0611, 0x0618}, {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648},
    {0x0651, 0x0656}, {0x0661, 0x0668}, {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694},
    {0x06A1, 0x06A4}, {0x06B1, 0x06B4}, {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712},
    {0x0721, 0x0721}, {0x8001, 0x8002}, {0x8011, 0x8014}, {0x8021, 0x8022}, {0x8031, 0x8032},
    {0x8081, 0x8081}, {0x8101, 0x8102}, {0x8111, 0x8111}, {0x8201, 0x8202}, {0x8301, 0x8304},
    {0x8400, 0x840F}, {0x8411, 0x8411}, {0x8421, 0x8421}, {0x8425, 0x8425}, {0x8431, 0x8431},
    {0x8441, 0x8441}, {0x8451, 0x8451}, {0x8461, 0x8462}, {0x8471, 0x8472}, {0x8501, 0x8501},
    {0x8521, 0x8521}, {0x8531, 0x8531}, {0x8541, 0x8541}, {0x8551, 0x8551}, {0x8561, 0x8561},
    {0x8571, 0x8571}, {0x8601, 0x8601}, {0x8661, 0x8661}, {0x8671, 0x8671}, {0x8681, 0x8681},
    {0x8691, 0x8691}, {0x86A1, 0x86A1}, {0x86B1, 0x86B1}, {0x86C1, 0x86C1}, {0x86D1, 0x86D1},
    {0x86E1, 0x86E1}, {0x8701, 0x8701}, {0x8791, 0x8791}, {0x87A1, 0x87A1}, {0x87B1, 0x87B1},
    {0x87C1, 0x87C1}, {0x8801, 0x8801}, {0x8901, 0x8902}, {0x8911, 0x8912}, {0x8921, 0x8922}};

// Models that program whole pages without erasing first.
constexpr CodeRange kNoEraseModels[] = {
    {0x0103, 0x0104}, {0x0106, 0x0107}, {0x010C, 0x010D}, {0x0111, 0x0112}, {0x0115, 0x0115},
    {0x0201, 0x0201}, {0x0301, 0x0304}, {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0401, 0x0401},
    {0x0601, 0x060A}, {0x0611, 0x0618}, {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648},
    {0x0651, 0x0656}, {0x0661, 0x0668}, {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694},
    {0x06A1, 0x06A4}, {0x06B1, 0x06B4}, {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712},
    {0x0721, 0x0721}, {0x8001, 0x8002}, {0x8021, 0x8022}, {0x8031, 0x8032}, {0x8081, 0x8081},
    {0x8911, 0x8912}, {0x8921, 0x8922}};

struct GroupRow {
    CodeRange codes;
    GroupCommands commands;
};
// First matching row wins.
constexpr GroupRow kGroupCommands[] = {
    {{0x8401, 0x8401}, {0x6037, 9, 0x6038}}, {{0x8402, 0x8402}, {0x605F, 1, 0x605A}},
    {{0x8400, 0x840F}, {0x0000, 0, 0x0038}}, {{0x8302, 0x8302}, {0x605F, 1, 0x605A}},
    {{0x8303, 0x8303}, {0x6037, 1, 0x6038}}, {{0x8300, 0x830F}, {0x0000, 0, 0x0038}},
};

struct ProgramRow {
    std::span<const CodeRange> codes;  // empty: every other code
    ProgramProfile profile;
};

constexpr CodeRange kRow1[] = {{0x8401, 0x8401}};
constexpr CodeRange kRow2[] = {{0x8400, 0x8400}};
constexpr CodeRange kRow3[] = {{0x8402, 0x8402}};
constexpr CodeRange kRow4[] = {{0x8303, 0x8303}};
constexpr CodeRange kRow5[] = {{0x8302, 0x8302}};
constexpr CodeRange kRow6[] = {{0x8301, 0x8301}};
constexpr CodeRange kRow7[] = {{0x8461, 0x8462}, {0x0171, 0x0171}, {0x0181, 0x0181}};
constexpr CodeRange kRow8[] = {{0x8101, 0x8102}, {0x8111, 0x8111}};
constexpr CodeRange kRow9[] = {{0x0131, 0x0134}};
constexpr CodeRange kRow10[] = {{0x0151, 0x0151}, {0x8411, 0x8411}, {0x8421, 0x8421},
                                {0x8425, 0x8425}, {0x8431, 0x8431}, {0x8441, 0x8441},
                                {0x8451, 0x8451}, {0x8471, 0x8472}};

using AF = AddressForm;
using ER = EraseRule;

// row, page, base, form, erase rule, interval, erase, program, retry pause,
// pause before hello, after hello, 10 ms before erase, 1 ms after erase,
// 1 ms after page, page trace
const ProgramRow kProgramRows[] = {
    {kRow1,
     {1, 256, 0, AF::Bits16, ER::EveryNth, 4, 0x603B, 0x6039, 200, 50, 50, true, false, false,
      true}},
    {kRow2,
     {2, 128, 0, AF::Bits24, ER::EveryNth, 32, 0x003B, 0x0039, 200, 50, 50, false, true, true,
      false}},
    {kRow3,
     {3, 128, 0, AF::Bits24, ER::EveryNth, 16, 0x605D, 0x605B, 200, 50, 50, false, true, true,
      false}},
    {kRow4,
     {4, 256, 0, AF::Bits16, ER::EveryNth, 4, 0x603B, 0x6039, 50, 50, 50, true, false, true, true}},
    {kRow5,
     {5, 128, 0, AF::Bits24, ER::EveryNth, 16, 0x605D, 0x605B, 200, 50, 50, false, false, true,
      false}},
    {kRow6,
     {6, 128, 0, AF::Bits24, ER::EveryNth, 32, 0x003B, 0x0039, 200, 50, 20, false, false, true,
      false}},
    {kRow7,
     {7, 256, 0, AF::Bits24, ER::EveryNth, 8, 0x003B, 0x0039, 50, 20, 20, true, false, false,
      false}},
    {kRow8,
     {8, 256, 0, AF::Bits24, ER::EveryNth, 16, 0x003B, 0x0039, 200, 20, 20, true, false, false,
      false}},
    {kRow9,
     {9, 256, 0x3100, AF::Bits16, ER::FirstOrOdd, 0, 0x003B, 0x0039, 50, 20, 20, true, false, false,
      false}},
    {kRow10,
     {10, 256, 0, AF::Bits16, ER::EveryNth, 4, 0x003B, 0x0039, 50, 20, 20, true, false, false,
      false}},
    {kNoEraseModels,
     {11, 256, 0, AF::Bits24, ER::Never, 0, 0x0000, 0x0039, 0, 20, 20, false, false, false, false}},
    {{},
     {12, 256, 0, AF::Bits16, ER::EveryNth, 2, 0x003B, 0x0039, 500, 20, 20, true, false, false,
      false}},
};

struct VerifyRow {
    std::span<const CodeRange> codes;  // empty: every other code of the binary path
    VerifyProfile profile;
};

using VS = VerifyStyle;

// row, style, read command, page, base, form, attempts, pause before each
// attempt, retry pause
const VerifyRow kVerifyRows[] = {
    {kRow1, {1, VS::Patient, 0x603A, 256, 0, AF::Bits24, 21, 100, 200}},
    {kRow2, {2, VS::Quick, 0x003A, 128, 0, AF::Bits24, 3, 0, 50}},
    {kRow3, {3, VS::Quick, 0x605C, 128, 0, AF::Bits24, 3, 0, 50}},
    {kRow4, {4, VS::Patient, 0x603A, 256, 0, AF::Bits24, 21, 100, 200}},
    {kRow5, {5, VS::Quick, 0x605C, 128, 0, AF::Bits24, 3, 0, 50}},
    {kRow6, {6, VS::Quick, 0x003A, 128, 0, AF::Bits24, 3, 0, 50}},
    {kRow9, {7, VS::Standard, 0x003A, 256, 0x3100, AF::Bits16, 3, 0, 200}},
    {{}, {8, VS::Standard, 0x003A, 256, 0, AF::Bits24, 3, 0, 200}},
};

struct RunRow {
    CodeRange codes;
    RunCommand run;
};
// First matching row wins; a code in no row gets 0x0038 without a wait.
constexpr RunRow kRunRows[] = {
    {{0x8400, 0x8400}, {0x0038, 10}}, {{0x8401, 0x8401}, {0x6038, 0}},
    {{0x8402, 0x8402}, {0x605A, 60}}, {{0x8400, 0x840F}, {0x0000, 0}},
    {{0x8301, 0x8301}, {0x0038, 10}}, {{0x8302, 0x8302}, {0x605A, 60}},
    {{0x8303, 0x8303}, {0x6038, 0}},  {{0x8300, 0x830F}, {0x0000, 0}},
};

template <typename Row>
auto findRow(std::span<const Row> rows, std::uint16_t model) -> decltype(&rows[0].profile) {
    for (const Row& row : rows) {
        if (row.codes.empty() || inRanges(row.codes, model)) {
            return &row.profile;
        }
    }
    return nullptr;
}

}  // namespace

bool isGroup83(std::uint16_t model) {
    return (model & 0xFFF0U) == 0x8300;
}
bool isGroup84(std::uint16_t model) {
    return (model & 0xFFF0U) == 0x8400;
}

std::uint16_t normalizeModel(std::uint16_t reported) {
    for (std::uint16_t base : kNormalisationBases) {
        if (reported >= base && reported <= base + 14) {
            return base;
        }
    }
    return reported == 0x0105 ? std::uint16_t{0x0101} : reported;
}

bool isKnownModel(std::uint16_t model) {
    return inRanges(kKnownModels, model);
}

std::span<const ModelCodeRange> knownModelRanges() {
    return kKnownModels;
}

GroupCommands groupCommandsFor(std::uint16_t model) {
    for (const GroupRow& row : kGroupCommands) {
        if (model >= row.codes.first && model <= row.codes.last) {
            return row.commands;
        }
    }
    return {0x0000, 0, 0x0038};
}

std::optional<ProgramProfile> programProfileFor(std::uint16_t model) {
    // Within groups 0x84 and 0x83 only the named codes have command codes.
    if ((isGroup84(model) && model > 0x8402) ||
        (isGroup83(model) && (model < 0x8301 || model > 0x8303))) {
        return std::nullopt;
    }
    const ProgramProfile* profile = findRow<ProgramRow>(kProgramRows, model);
    return profile ? std::optional(*profile) : std::nullopt;
}

std::optional<std::string> programmingRefusal(std::uint16_t model, int pageCount) {
    if (isTextFamily(model)) {
        return std::nullopt;
    }
    char code[8];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(model));
    const auto profile = programProfileFor(model);
    if (!profile) {
        return "model " + std::string(code) + " has no programming command codes";
    }
    if (profile->form != AddressForm::Bits16 || pageCount <= 0) {
        return std::nullopt;
    }
    const auto pageSize = static_cast<std::uint32_t>(profile->pageSize);
    const std::uint32_t lastAddress =
        profile->baseAddress + static_cast<std::uint32_t>(pageCount - 1) * pageSize;
    if (lastAddress <= 0xFFFF) {
        return std::nullopt;
    }
    const std::uint32_t pagesThatFit = (0xFFFF - profile->baseAddress) / pageSize + 1;
    return std::to_string(pageCount) + " pages do not fit the 16-bit addresses of model " + code +
           ": it takes at most " + std::to_string(pagesThatFit) + " pages of " +
           std::to_string(pageSize) + " bytes";
}

std::optional<VerifyProfile> verifyProfileFor(std::uint16_t model) {
    if (!programProfileFor(model)) {
        return std::nullopt;
    }
    const VerifyProfile* profile = findRow<VerifyRow>(kVerifyRows, model);
    return profile ? std::optional(*profile) : std::nullopt;
}

RunCommand runCommandFor(std::uint16_t model) {
    for (const RunRow& row : kRunRows) {
        if (model >= row.codes.first && model <= row.codes.last) {
            return row.run;
        }
    }
    return {0x0038, 0};
}

}  // namespace flashmere
