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
    const ModelFamily& family = modelFamilyFor(model);
    return {family.versionQuery.command, family.versionQuery.attempts, family.commands.mode};
}

const ModelFamily* loaderFamilyFor(std::uint16_t model) {
    const ModelFamily& family = modelFamilyFor(model);
    return !isTextFamily(model) && family.programming ? &family : nullptr;
}

std::optional<std::string> programmingRefusal(std::uint16_t model, int pageCount) {
    if (isTextFamily(model)) {
        return std::nullopt;
    }
    const ModelFamily* family = loaderFamilyFor(model);
    char text[192];
    if (!family) {
        std::snprintf(text, sizeof text, "model 0x%04X has no programming command codes",
                      unsigned{model});
        return text;
    }
    const ProgramProfile& profile = *family->programming;
    const auto pageSize = static_cast<std::uint32_t>(family->layout.pageSize);
    const std::uint32_t lastAddress =
        profile.baseAddress + static_cast<std::uint32_t>(std::max(pageCount - 1, 0)) * pageSize;
    if (profile.form != AddressForm::Bits16 || lastAddress <= 0xFFFF) {
        return std::nullopt;
    }
    // Wrapping would overwrite the first pages.
    const std::uint32_t pagesThatFit = (0xFFFF - profile.baseAddress) / pageSize + 1;
    std::snprintf(text, sizeof text,
                  "the image's last page would need address 0x%X, beyond the 16-bit addresses "
                  "of model 0x%04X: it takes at most %u pages of %u bytes",
                  static_cast<unsigned>(lastAddress), unsigned{model},
                  static_cast<unsigned>(pagesThatFit), static_cast<unsigned>(pageSize));
    return text;
}

// A family that cannot be programmed gets no start request either.
RunCommand runCommandFor(std::uint16_t model) {
    const ModelFamily& family = modelFamilyFor(model);
    if (!family.programming) {
        return {0x0000, 0};
    }
    return {family.commands.mode, family.rebootSeconds};
}

}  // namespace flashmere
