// The settings store file, whatever it holds: reading never fails, gives
// text values and a link kind of 0 or 1, and what it read survives a store
// and a fresh read unchanged.

#include <QString>
#include <cstdint>

#include "frontend/app_settings.h"
#include "frontend/message_table.h"
#include "fuzz_support.h"

namespace flashmere::fuzz {
namespace {

bool sameLink(const AppSettings& a, const AppSettings& b) {
    return a.linkKind == b.linkKind && a.comPortName == b.comPortName &&
           a.comBaudRate == b.comBaudRate && a.netIP == b.netIP && a.netPort == b.netPort;
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    static ScratchFile file(".json");
    file.write(std::span<const std::uint8_t>(data, size));
    const QString path = QString::fromStdString(file.path());

    AppSettings first(path);
    first.loadSettings();
    FUZZ_CHECK(first.linkKind == kLinkCom || first.linkKind == kLinkNet);
    FUZZ_CHECK(first.languageIndex >= 0 && first.languageIndex < kLanguageCount);
    FUZZ_CHECK(first.languageIndex == languageIndexOf(first.languageFlag));
    // The values become port names, modes and addresses: bounded by the file.
    FUZZ_CHECK(first.comPortName.size() <= 4 * size + 16);
    FUZZ_CHECK(first.netIP.size() <= 4 * size + 16);
    (void)first.linkSettings();

    // Stored back and read again, the link values come out the same. A
    // store the file cannot take (not a settings object) is left alone.
    if (first.storeLinkSettings()) {
        AppSettings second(path);
        second.loadSettings();
        FUZZ_CHECK(sameLink(first, second));
    }
    return 0;
}
