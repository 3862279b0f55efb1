#include "device/model_tables.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace flashmere {

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
