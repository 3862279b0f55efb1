#include "fleet_outputs.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "firmware/file_path.h"
#include "fleet_report.h"

namespace flashmere::cli {
namespace {

namespace fs = std::filesystem;

struct NamedFile {
    std::string what;  // "the manifest", "--report", ...
    std::string path;  // as given
    fs::path resolved;
};

NamedFile named(std::string what, const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(pathFromUtf8(path), error);
    if (error) {
        resolved = fs::absolute(pathFromUtf8(path), error).lexically_normal();
    }
    return {std::move(what), path, std::move(resolved)};
}

bool sameFile(const NamedFile& a, const NamedFile& b) {
    if (a.resolved == b.resolved) {
        return true;
    }
    std::error_code error;  // a file that does not exist yet is no other
    return fs::equivalent(a.resolved, b.resolved, error) && !error;
}

std::string clash(const NamedFile& out, const NamedFile& other) {
    return out.what + " " + oneLine(out.path) + " is " + other.what + " " + oneLine(other.path) +
           ": a run never writes over its own files; choose another " +
           (out.what == "--logs" || out.what == "the row log" ? "--logs folder" : "--report");
}

}  // namespace

std::string rowLogPath(const std::string& logs, int row) {
    return utf8FromPath(pathFromUtf8(logs) / ("row-" + std::to_string(row) + ".log"));
}

std::string outputClash(const FleetOutputs& outputs, const std::string& manifest,
                        const std::vector<FleetRow>& rows) {
    std::vector<NamedFile> inputs = {named("the manifest", manifest)};
    std::set<std::string> files;
    for (const FleetRow& row : rows) {
        if (files.insert(row.filePath).second) {
            inputs.push_back(named("the firmware file", row.filePath));
        }
    }
    std::vector<NamedFile> written = {
        named("--report", outputs.report), named("the report's CSV", csvPathFor(outputs.report)),
        named("the report's lock", ReportLock::pathFor(outputs.report))};
    if (!outputs.logs.empty()) {
        written.push_back(named("--logs", outputs.logs));
        for (const FleetRow& row : rows) {
            written.push_back(named("the row log", rowLogPath(outputs.logs, row.row)));
        }
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
        for (const NamedFile& input : inputs) {
            if (sameFile(written[i], input)) {
                return clash(written[i], input);
            }
        }
        // Row logs differ from each other by name; each is checked against
        // the report's files and the folder, which come first.
        for (std::size_t j = 0; j < std::min<std::size_t>(i, 4); ++j) {
            if (sameFile(written[i], written[j])) {
                return clash(written[i], written[j]);
            }
        }
    }
    return {};
}

}  // namespace flashmere::cli
