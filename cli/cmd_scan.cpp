// flashmere-cli scan: which device IDs answer on one link, and who they are.

#include <charconv>
#include <cstdio>
#include <set>
#include <vector>

#include "commands.h"
#include "console_panel.h"
#include "device_options.h"
#include "frontend/message_table.h"
#include "link/clock.h"
#include "link/escaped_text.h"
#include "link/qt_transport_factory.h"
#include "service/device_probe.h"

namespace flashmere::cli {
namespace {

constexpr int kMaxDeviceId = 9999;

bool parseIdNumber(std::string_view text, int& value) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc{} && ptr == text.data() + text.size() && value >= 0 &&
           value <= kMaxDeviceId;
}

// "0-99", "1,5,20-30": the IDs in the order given, each once.
std::optional<std::vector<std::uint16_t>> parseIdList(std::string_view text) {
    std::vector<std::uint16_t> ids;
    std::set<int> seen;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const auto dash = item.find('-');
        int first = 0;
        int last = 0;
        if (!parseIdNumber(item.substr(0, dash), first) ||
            !parseIdNumber(
                dash == std::string_view::npos ? item.substr(0, dash) : item.substr(dash + 1),
                last) ||
            last < first) {
            return std::nullopt;
        }
        for (int id = first; id <= last; ++id) {
            if (seen.insert(id).second) {
                ids.push_back(static_cast<std::uint16_t>(id));
            }
        }
        if (comma == std::string_view::npos) {
            return ids;
        }
        text.remove_prefix(comma + 1);
    }
}

std::string deviceLine(const ProbeAnswer& a) {
    if (a.pinRefused) {
        return "id " + std::to_string(a.id) + ": answers, but refuses the PIN (give --pin)";
    }
    return "id " + std::to_string(a.id) + ": model " + escapeBytes(a.model) + ", name \"" +
           escapeBytes(a.name) + "\", version " + escapeBytes(a.version) + ", isp " +
           (a.isp.empty() ? std::string("-") : escapeBytes(a.isp)) + ", serial " +
           escapeBytes(a.serial);
}

std::string deviceJson(const ProbeAnswer& a) {
    return "{\"id\":" + std::to_string(a.id) + ",\"model\":" + jsonString(a.model) +
           ",\"name\":" + jsonString(a.name) + ",\"version\":" + jsonString(a.version) +
           ",\"isp\":" + jsonString(a.isp) + ",\"serial\":" + jsonString(a.serial) +
           ",\"family\":\"" + (a.textFamily ? "text" : "binary") +
           "\",\"pin_refused\":" + (a.pinRefused ? "true" : "false") + "}";
}

void drawBar(std::size_t done, std::size_t total, std::size_t found) {
    constexpr std::size_t kWidth = 40;
    const std::size_t filled = total == 0 ? kWidth : done * kWidth / total;
    std::fprintf(stdout, "\rscan     [%s%s] %zu/%zu IDs, %zu found",
                 std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(), done,
                 total, found);
    std::fflush(stdout);
}

}  // namespace

int runScanCommand(const ScanArgs& args) {
    std::string error;
    auto resolved = resolveDeviceOptions(args.device, error);
    if (!resolved) {
        return fail(ExitCode::Usage, error);
    }
    const auto ids = parseIdList(args.ids);
    if (!ids) {
        return fail(ExitCode::Usage,
                    "--ids \"" + oneLine(args.ids) +
                        "\" is not a list of IDs 0-9999 such as 0-99 or 1,5,20-30");
    }
    ensureQtApplication();
    const ConsolePanel::Style style = consoleStyleFor(args.device, resolved->languageIndex);
    ConsolePanel trace(resolved->options, style);
    QtTransportFactory transports;
    DeviceProbe probe(transports, systemClock(), trace, resolved->options, args.timeoutMs);
    if (!probe.open()) {
        // As an upgrade says it: the message, then what to check.
        trace.showMessage(MessageRow::msgOpenPortError);
        trace.showMessageReason(probe.openFailure());
        return exitStatus(ExitCode::LinkNotOpened);
    }
    std::vector<ProbeAnswer> found;
    for (std::size_t i = 0; i < ids->size(); ++i) {
        if (style.terminal) {
            drawBar(i, ids->size(), found.size());
        }
        auto answer = probe.probe((*ids)[i]);
        if (!answer) {
            continue;
        }
        if (style.json) {
            std::printf("{\"event\":\"found\",\"device\":%s}\n", deviceJson(*answer).c_str());
        } else {
            std::printf("%s%s\n", style.terminal ? "\r\033[K" : "", deviceLine(*answer).c_str());
        }
        std::fflush(stdout);
        found.push_back(std::move(*answer));
    }
    probe.close();
    if (style.json) {
        std::string list;
        for (const auto& answer : found) {
            list += (list.empty() ? "" : ",") + deviceJson(answer);
        }
        std::printf("{\"event\":\"result\",\"ids\":%zu,\"found\":[%s]}\n", ids->size(),
                    list.c_str());
    } else {
        if (style.terminal) {
            drawBar(ids->size(), ids->size(), found.size());
            std::printf("\n");
        }
        std::printf("%zu device%s found on %zu ID%s\n", found.size(), found.size() == 1 ? "" : "s",
                    ids->size(), ids->size() == 1 ? "" : "s");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace flashmere::cli
