#include "service/other_family.h"

#include <cstdio>
#include <string>

#include "firmware/model_family.h"
#include "service/device_probe.h"

namespace flashmere {
namespace {

const char* familyName(bool textFamily) {
    return textFamily ? "text protocol" : "binary protocol";
}

std::string modelText(std::uint16_t model) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned{model});
    return text;
}

}  // namespace

std::optional<OtherFamilyAnswer> askOtherFamily(TransportFactory& transports, Clock& clock,
                                                TraceSink& trace, const OperatorOptions& options,
                                                std::uint16_t id, std::uint16_t fileModel) {
    DeviceProbe probe(transports, clock, trace, options, kSilenceLimitMs);
    if (!probe.open()) {
        return std::nullopt;
    }
    const std::optional<ProbeAnswer> answer = probe.probe(id);
    probe.close();
    if (!answer) {
        return std::nullopt;
    }
    const std::string file = "the file is for model " + modelText(fileModel) + " (" +
                             familyName(isTextFamily(fileModel)) + ")";
    const std::string at = " answered at ID " + std::to_string(id);
    if (answer->pinRefused) {
        OtherFamilyAnswer refused;
        refused.note = "a device" + at + " in the " + familyName(answer->textFamily) +
                       " but refused the PIN; " + file;
        return refused;
    }
    const bool otherModel = answer->model != modelText(fileModel);
    return OtherFamilyAnswer{.note = "a device of model " + answer->model + at +
                                     (otherModel ? "" : " to a read-only request only") + "; " +
                                     file,
                             .otherModel = otherModel,
                             .model = answer->model,
                             .serial = answer->serial};
}

}  // namespace flashmere
