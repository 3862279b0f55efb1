#include "firmware/model_family.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "firmware/firmware_image.h"

namespace flashmere {
namespace {

using Form = AddressForm;

// ---- programming profiles --------------------------------------------------
// The loaders of groups 0x84 and 0x83 pause 50 ms around the hello request;
// their 128-byte-page loaders pause 1 ms after every page.

constexpr ProgramProfile kLoader84Every4{
    .name = "0x84 loader: erase every 4 pages, 16-bit addresses, page trace",
    .form = Form::Bits16,
    .eraseInterval = 4,
    .eraseRetryPauseMs = 200,
    .pauseBeforeHelloMs = 50,
    .pauseAfterHelloMs = 50,
    .tracePages = true,
};
constexpr ProgramProfile kLoader84Every32{
    .name = "0x84 loader: erase every 32 pages",
    .eraseInterval = 32,
    .eraseRetryPauseMs = 200,
    .pauseBeforeHelloMs = 50,
    .pauseAfterHelloMs = 50,
    .pauseBeforeEraseMs = 0,
    .extraPauseAfterEraseMs = 1,
    .pauseAfterPageMs = 1,
};
constexpr ProgramProfile kLoader84Every16{
    .name = "0x84 loader: erase every 16 pages",
    .eraseInterval = 16,
    .eraseRetryPauseMs = 200,
    .pauseBeforeHelloMs = 50,
    .pauseAfterHelloMs = 50,
    .pauseBeforeEraseMs = 0,
    .extraPauseAfterEraseMs = 1,
    .pauseAfterPageMs = 1,
};
constexpr ProgramProfile kLoader83Every4{
    .name = "0x83 loader: erase every 4 pages, 16-bit addresses, page trace",
    .form = Form::Bits16,
    .eraseInterval = 4,
    .eraseRetryPauseMs = 50,
    .pauseBeforeHelloMs = 50,
    .pauseAfterHelloMs = 50,
    .pauseAfterPageMs = 1,
    .tracePages = true,
};
constexpr ProgramProfile kLoader83Every16{
    .name = "0x83 loader: erase every 16 pages",
    .eraseInterval = 16,
    .eraseRetryPauseMs = 200,
    .pauseBeforeHelloMs = 50,
    .pauseAfterHelloMs = 50,
    .pauseBeforeEraseMs = 0,
    .pauseAfterPageMs = 1,
};
constexpr ProgramProfile kLoader83Every32{
    .name = "0x83 loader: erase every 32 pages",
    .eraseInterval = 32,
    .eraseRetryPauseMs = 200,
    .pauseBeforeHelloMs = 50,
    .pauseBeforeEraseMs = 0,
    .pauseAfterPageMs = 1,
};
constexpr ProgramProfile kEvery8Pages{
    .name = "erase every 8 pages",
    .eraseInterval = 8,
    .eraseRetryPauseMs = 50,
};
constexpr ProgramProfile kEvery16Pages{
    .name = "erase every 16 pages",
    .eraseInterval = 16,
    .eraseRetryPauseMs = 200,
};
// Blocks of two pages aligned to 512 bytes; the program area starts half-way
// into the block at 0x3000, so page 0 is erased alone.
constexpr ProgramProfile kFirstAndOddPagesFrom3100{
    .name = "erase page 0 and every odd page, from 0x3100, 16-bit addresses",
    .baseAddress = 0x3100,
    .form = Form::Bits16,
    .eraseRule = EraseRule::FirstOrOdd,
    .eraseRetryPauseMs = 50,
};
constexpr ProgramProfile kEvery4Pages16Bit{
    .name = "erase every 4 pages, 16-bit addresses",
    .form = Form::Bits16,
    .eraseInterval = 4,
    .eraseRetryPauseMs = 50,
};
constexpr ProgramProfile kNoErase{
    .name = "no erase, pages written over",
    .eraseRule = EraseRule::Never,
    .pauseBeforeEraseMs = 0,
};
constexpr ProgramProfile kEvery2Pages16Bit{
    .name = "erase every 2 pages, 16-bit addresses",
    .form = Form::Bits16,
    .eraseInterval = 2,
    .eraseRetryPauseMs = 500,
};

// ---- verification profiles -------------------------------------------------

constexpr VerifyProfile kPatientReads{
    .name = "patient reads",
    .style = VerifyStyle::Patient,
    .attempts = 21,
    .pauseBeforeAttemptMs = 100,
};
constexpr VerifyProfile kQuickReads{
    .name = "quick reads",
    .style = VerifyStyle::Quick,
    .retryPauseMs = 50,
};
constexpr VerifyProfile kStandardReads{
    .name = "standard reads",
    .style = VerifyStyle::Standard,
};
constexpr VerifyProfile kStandardReads16Bit{
    .name = "standard reads, 16-bit addresses",
    .style = VerifyStyle::Standard,
    .form = Form::Bits16,
};

// ---- model codes of the families -------------------------------------------

constexpr ModelCodeRange k8401[] = {{0x8401, 0x8401}};
constexpr ModelCodeRange k8400[] = {{0x8400, 0x8400}};
constexpr ModelCodeRange k8402[] = {{0x8402, 0x8402}};
constexpr ModelCodeRange k8303[] = {{0x8303, 0x8303}};
constexpr ModelCodeRange k8302[] = {{0x8302, 0x8302}};
constexpr ModelCodeRange k8301[] = {{0x8301, 0x8301}};
// The other codes of groups 0x83 and 0x84: no loader commands of their own.
constexpr ModelCodeRange k83WithoutLoader[] = {{0x8304, 0x8304}};
constexpr ModelCodeRange k83NotAccepted[] = {{0x8300, 0x8300}, {0x8305, 0x830F}};
constexpr ModelCodeRange k84WithoutLoader[] = {{0x8403, 0x840F}};
constexpr ModelCodeRange k8461[] = {{0x8461, 0x8462}};
constexpr ModelCodeRange kResetOnWake[] = {{0x0171, 0x0171}, {0x0181, 0x0181}};
constexpr ModelCodeRange k8101[] = {{0x8101, 0x8102}};
constexpr ModelCodeRange k8111[] = {{0x8111, 0x8111}};
constexpr ModelCodeRange k0131[] = {{0x0131, 0x0134}};
constexpr ModelCodeRange kEvery4Pages[] = {{0x0151, 0x0151}, {0x8411, 0x8411}, {0x8421, 0x8421},
                                           {0x8425, 0x8425}, {0x8431, 0x8431}, {0x8441, 0x8441},
                                           {0x8451, 0x8451}, {0x8471, 0x8472}};
constexpr ModelCodeRange k8081[] = {{0x8081, 0x8081}};
constexpr ModelCodeRange kNoErase3840[] = {{0x8911, 0x8912}, {0x8921, 0x8922}};
constexpr ModelCodeRange kNoErase512[] = {
    {0x0103, 0x0104}, {0x0106, 0x0107}, {0x010C, 0x010D}, {0x0111, 0x0112}, {0x0115, 0x0115},
    {0x0201, 0x0201}, {0x0301, 0x0304}, {0x0311, 0x0312}, {0x0321, 0x0323}, {0x0401, 0x0401},
    {0x0601, 0x060A}, {0x0611, 0x0618}, {0x0621, 0x0628}, {0x0631, 0x0631}, {0x0641, 0x0648},
    {0x0651, 0x0656}, {0x0661, 0x0668}, {0x0671, 0x0678}, {0x0681, 0x068A}, {0x0691, 0x0694},
    {0x06A1, 0x06A4}, {0x06B1, 0x06B4}, {0x06C1, 0x06CA}, {0x0701, 0x0702}, {0x0711, 0x0712},
    {0x0721, 0x0721}, {0x8001, 0x8002}, {0x8021, 0x8022}, {0x8031, 0x8032}};
constexpr ModelCodeRange kEvery2Pages512[] = {
    {0x0121, 0x0122}, {0x0135, 0x0136}, {0x0141, 0x0142}, {0x8011, 0x8014}, {0x8501, 0x8501},
    {0x8521, 0x8521}, {0x8531, 0x8531}, {0x8541, 0x8541}, {0x8551, 0x8551}, {0x8561, 0x8561},
    {0x8571, 0x8571}, {0x8601, 0x8601}, {0x8661, 0x8661}, {0x8671, 0x8671}, {0x8681, 0x8681},
    {0x8691, 0x8691}, {0x86A1, 0x86A1}, {0x86B1, 0x86B1}, {0x86C1, 0x86C1}, {0x86D1, 0x86D1},
    {0x86E1, 0x86E1}, {0x8701, 0x8701}, {0x8791, 0x8791}, {0x87A1, 0x87A1}, {0x87B1, 0x87B1},
    {0x87C1, 0x87C1}};
constexpr ReportedCodes kEvery2Pages512Variants[] = {
    variantsOf(0x8501), variantsOf(0x8521), variantsOf(0x8531), variantsOf(0x8541),
    variantsOf(0x8551), variantsOf(0x8561), variantsOf(0x8571), variantsOf(0x8601),
    variantsOf(0x8661), variantsOf(0x8671), variantsOf(0x8681), variantsOf(0x8691),
    variantsOf(0x86A1), variantsOf(0x86B1), variantsOf(0x86C1), variantsOf(0x86D1),
    variantsOf(0x86E1), variantsOf(0x8701), variantsOf(0x8791), variantsOf(0x87A1),
    variantsOf(0x87B1), variantsOf(0x87C1)};
constexpr ModelCodeRange kText8801[] = {{0x8801, 0x8801}};
constexpr ReportedCodes kText8801Variants[] = {variantsOf(0x8801)};
constexpr ModelCodeRange kText8901[] = {{0x8901, 0x8902}};
constexpr ReportedCodes kText8901Variants[] = {variantsOf(0x8901)};
// Accepted codes with the loader of every other code.
constexpr ModelCodeRange kAcceptedOthers[] = {{0x0101, 0x0102}, {0x0105, 0x0105}, {0x0108, 0x010B},
                                              {0x0113, 0x0114}, {0x0143, 0x0144}, {0x0381, 0x0381},
                                              {0x0391, 0x0391}, {0x8201, 0x8202}};
constexpr ReportedCodes kAcceptedOthersReported[] = {{0x0105, 0x0105, 0x0101}};

// ---- the families ----------------------------------------------------------

constexpr PageLayout k128x2048{.pageSize = 128, .pageLimit = 2048};

constexpr ModelFamily kFamilies[] = {
    // Groups 0x84 (0x8400-0x840F) and 0x83 (0x8300-0x830F): no wake-up
    // frames, their own version check; group 0x84 checks hardware variants.
    {.codes = k8401,
     .commands = kCommands6039,
     .programming = &kLoader84Every4,
     .verification = &kPatientReads,
     .versionQuery = {.command = 0x6037, .attempts = 9},
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery,
     .variantTagged = true,
     .serviceFunctions = true},
    {.codes = k8400,
     .layout = k128x2048,
     .programming = &kLoader84Every32,
     .verification = &kQuickReads,
     .rebootSeconds = 10,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery,
     .variantTagged = true},
    {.codes = k8402,
     .layout = k128x2048,
     .commands = kCommands605B,
     .programming = &kLoader84Every16,
     .verification = &kQuickReads,
     .versionQuery = {.command = 0x605F, .attempts = 1},
     .rebootSeconds = 60,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery,
     .variantTagged = true},
    {.codes = k84WithoutLoader,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery,
     .variantTagged = true},
    {.codes = k8303,
     .commands = kCommands6039,
     .programming = &kLoader83Every4,
     .verification = &kPatientReads,
     .versionQuery = {.command = 0x6037, .attempts = 1},
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery},
    {.codes = k8302,
     .layout = k128x2048,
     .commands = kCommands605B,
     .programming = &kLoader83Every16,
     .verification = &kQuickReads,
     .versionQuery = {.command = 0x605F, .attempts = 1},
     .rebootSeconds = 60,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery},
    {.codes = k8301,
     .layout = k128x2048,
     .programming = &kLoader83Every32,
     .verification = &kQuickReads,
     .rebootSeconds = 10,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery},
    {.codes = k83WithoutLoader, .wakeup = Wakeup::None, .versionCheck = VersionCheck::GroupQuery},
    {.codes = k83NotAccepted,
     .accepted = false,
     .wakeup = Wakeup::None,
     .versionCheck = VersionCheck::GroupQuery},
    {.codes = k8461,
     .layout = {.pageSize = 256, .pageLimit = 1024},
     .programming = &kEvery8Pages,
     .verification = &kStandardReads},
    {.codes = kResetOnWake,
     .layout = {.pageSize = 256, .pageLimit = 1024},
     .programming = &kEvery8Pages,
     .verification = &kStandardReads,
     .wakeup = Wakeup::ResetFrame},
    {.codes = k8101,
     .layout = {.pageSize = 256, .pageLimit = 1664},
     .programming = &kEvery16Pages,
     .verification = &kStandardReads},
    {.codes = k8111,
     .layout = {.pageSize = 256, .pageLimit = 496},
     .programming = &kEvery16Pages,
     .verification = &kStandardReads},
    {.codes = k0131,
     .layout = {.pageSize = 256, .pageLimit = 223},
     .programming = &kFirstAndOddPagesFrom3100,
     .verification = &kStandardReads16Bit},
    {.codes = kEvery4Pages, .programming = &kEvery4Pages16Bit, .verification = &kStandardReads},
    {.codes = k8081,
     .layout = {.pageSize = 256, .pageLimit = 248},
     .programming = &kNoErase,
     .verification = &kStandardReads},
    {.codes = kNoErase3840,
     .layout = {.pageSize = 256, .pageLimit = 3840},
     .programming = &kNoErase,
     .verification = &kStandardReads},
    {.codes = kNoErase512,
     .layout = {.pageSize = 256, .pageLimit = 512},
     .programming = &kNoErase,
     .verification = &kStandardReads},
    {.codes = kEvery2Pages512,
     .reportedAs = kEvery2Pages512Variants,
     .layout = {.pageSize = 256, .pageLimit = 512},
     .programming = &kEvery2Pages16Bit,
     .verification = &kStandardReads},
    // The text family (code AND 0xFFF0 is 0x8800 or 0x8900, isTextFamily):
    // text commands with 256-byte pages; the programming path is fixed.
    {.codes = kText8801,
     .reportedAs = kText8801Variants,
     .layout = {.pageSize = 256, .pageLimit = 3968}},
    {.codes = kText8901,
     .reportedAs = kText8901Variants,
     .layout = {.pageSize = 256, .pageLimit = 3840}},
    {.codes = kAcceptedOthers,
     .reportedAs = kAcceptedOthersReported,
     .programming = &kEvery2Pages16Bit,
     .verification = &kStandardReads},
    // Every other code, among them the text codes the rows above do not name.
    {.codes = {},
     .accepted = false,
     .programming = &kEvery2Pages16Bit,
     .verification = &kStandardReads},
};

static_assert(std::all_of(std::begin(kFamilies), std::end(kFamilies), [](const ModelFamily& f) {
    return f.layout.pageLimit <= kPageSlots && f.layout.pageSize <= 256;
}));
static_assert(std::end(kFamilies)[-1].codes.empty());
static_assert(std::count_if(std::begin(kFamilies), std::end(kFamilies),
                            [](const ModelFamily& f) {
                                return f.serviceFunctions && f.codes.size() == 1 &&
                                       f.codes[0].first == f.codes[0].last;
                            }) == 1 &&
              std::count_if(std::begin(kFamilies), std::end(kFamilies),
                            [](const ModelFamily& f) { return f.serviceFunctions; }) == 1);

bool names(const ModelFamily& family, std::uint16_t code) {
    return std::any_of(family.codes.begin(), family.codes.end(), [code](const ModelCodeRange& r) {
        return code >= r.first && code <= r.last;
    });
}

}  // namespace

std::span<const ModelFamily> modelFamilies() {
    return kFamilies;
}

const ModelFamily& modelFamilyFor(std::uint16_t modelCode) {
    for (const ModelFamily& family : kFamilies) {
        if (names(family, modelCode)) {
            return family;
        }
    }
    return std::end(kFamilies)[-1];
}

PageLayout pageLayoutFor(std::uint16_t modelCode) {
    return modelFamilyFor(modelCode).layout;
}

std::span<const ModelCodeRange> knownModelRanges() {
    static const std::vector<ModelCodeRange> ranges = [] {
        std::vector<ModelCodeRange> all;
        for (const ModelFamily& family : kFamilies) {
            if (family.accepted) {
                all.insert(all.end(), family.codes.begin(), family.codes.end());
            }
        }
        std::sort(all.begin(), all.end(), [](const ModelCodeRange& a, const ModelCodeRange& b) {
            return a.first < b.first;
        });
        std::vector<ModelCodeRange> joined;
        for (const ModelCodeRange& range : all) {
            if (!joined.empty() && joined.back().last + 1 == range.first) {
                joined.back().last = range.last;
            } else {
                joined.push_back(range);
            }
        }
        return joined;
    }();
    return ranges;
}

bool isKnownModel(std::uint16_t model) {
    return modelFamilyFor(model).accepted;
}

std::uint16_t normalizeModel(std::uint16_t reported) {
    for (const ModelFamily& family : kFamilies) {
        for (const ReportedCodes& codes : family.reportedAs) {
            if (reported >= codes.first && reported <= codes.last) {
                return codes.model;
            }
        }
    }
    return reported;
}

const ModelFamily& serviceFamily() {
    return *std::find_if(std::begin(kFamilies), std::end(kFamilies),
                         [](const ModelFamily& f) { return f.serviceFunctions; });
}

std::uint16_t serviceModelCode() {
    return serviceFamily().codes[0].first;
}

bool erasesBefore(const ProgramProfile& profile, int pageIndex) {
    switch (profile.eraseRule) {
        case EraseRule::Never:
            return false;
        case EraseRule::EveryNth:
            return pageIndex % profile.eraseInterval == 0;
        case EraseRule::FirstOrOdd:
            return pageIndex == 0 || pageIndex % 2 == 1;
    }
    return false;
}

}  // namespace flashmere
