#include "fleet_manifest.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

#include "firmware/file_path.h"
#include "firmware/firmware_selection.h"
#include "link_identity.h"

namespace flashmere::cli {
namespace {

// The PIN as the device takes it: 1 to 4 hexadecimal digits.
bool isPinText(const std::string& text) {
    return !text.empty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
}

constexpr const char* kColumns[] = {"net", "com", "mode", "id", "pin", "file", "name"};

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// One CSV line: cells separated by commas, a cell in double quotes may hold
// commas and "" for a quote. False for a quote that is never closed.
bool splitCsvLine(std::string_view line, std::vector<std::string>& cells) {
    cells.clear();
    std::string cell;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"' && trim(cell).empty()) {
            quoted = wasQuoted = true;
            cell.clear();
        } else if (c == ',') {
            cells.push_back(wasQuoted ? cell : trim(cell));
            cell.clear();
            wasQuoted = false;
        } else {
            cell += c;
        }
    }
    cells.push_back(wasQuoted ? cell : trim(cell));
    return !quoted;
}

struct Header {
    std::map<std::string, int> columnOf;  // name -> 0-based index
    std::size_t width = 0;
};

class Checker {
  public:
    Checker(const std::string& manifestPath, const FleetDefaults& defaults)
        : folder_(pathFromUtf8(manifestPath).parent_path()), defaults_(defaults) {}

    FleetManifest result;

    void header(int row, const std::vector<std::string>& cells) {
        header_.width = cells.size();
        for (std::size_t i = 0; i < cells.size(); ++i) {
            std::string name = cells[i];
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const int column = static_cast<int>(i) + 1;
            if (std::find(std::begin(kColumns), std::end(kColumns), name) == std::end(kColumns)) {
                problem(row, column, cells[i],
                        "unknown column; the columns are net, com, mode, id, pin, file, name");
            } else if (!header_.columnOf.emplace(name, static_cast<int>(i)).second) {
                problem(row, column, name, "this column is named twice");
            }
        }
        if (!header_.columnOf.count("net") && !header_.columnOf.count("com")) {
            problem(row, 0, "", "the header names neither a net nor a com column");
        }
    }

    void device(int row, const std::vector<std::string>& cells) {
        if (cells.size() > header_.width) {
            problem(row, static_cast<int>(header_.width) + 1, "",
                    "more cells than the header has columns");
            return;
        }
        Cells c{row, cells, header_};
        FleetRow out;
        out.row = row;
        out.name = c.get("name");
        DeviceArgs args;
        args.net = c.get("net");
        args.com = c.get("com");
        args.mode = c.get("mode");
        args.pin = c.has("pin") && !c.get("pin").empty() ? c.get("pin") : "9174";
        bool ok = checkLink(c, args, out);
        ok = checkId(c, out) && ok;
        args.id = out.id;
        if (!isPinText(args.pin)) {
            problem(row, c.column("pin"), "pin",
                    "\"" + oneLine(args.pin) + "\" is not a PIN of 1 to 4 hexadecimal digits");
            ok = false;
        }
        ok = checkFile(c, out) && ok;
        if (!ok) {
            return;
        }
        std::string error;
        const auto resolved = resolveDeviceOptions(args, error);
        if (!resolved) {
            // The column is named already; the option the text starts with
            // ("--net ...") is no option of a manifest.
            const std::string column = error.starts_with("--mode ") ? "mode" : out.linkColumn;
            if (error.starts_with("--")) {
                error.erase(0, error.find(' ') + 1);
            }
            problem(row, c.column(column), column, error);
            return;
        }
        out.options = resolved->options;
        out.options.verify = defaults_.verify;
        out.options.skipError = defaults_.skipErrors;
        out.options.wakeUpFrames = defaults_.wakeUpFrames;
        out.options.serialNumberWakeUp = defaults_.serialNumberWakeUp;
        out.options.checkAfterStart = defaults_.checkAfterStart;
        out.linkKey = links_.keyOf(out.options);
        checkSameDevice(c, out);
        result.rows.push_back(std::move(out));
    }

  private:
    struct Cells {
        int row;
        const std::vector<std::string>& cells;
        const Header& header;
        bool has(const std::string& name) const { return header.columnOf.count(name) > 0; }
        int column(const std::string& name) const {
            return has(name) ? header.columnOf.at(name) + 1 : 0;
        }
        std::string get(const std::string& name) const {
            if (!has(name)) {
                return {};
            }
            const auto i = static_cast<std::size_t>(header.columnOf.at(name));
            return i < cells.size() ? cells[i] : std::string();
        }
    };

    void problem(int row, int column, std::string columnName, std::string text) {
        result.problems.push_back({row, column, std::move(columnName), std::move(text)});
    }

    bool checkLink(const Cells& c, const DeviceArgs& args, FleetRow& out) {
        if (!args.net.empty() && !args.com.empty()) {
            problem(c.row, c.column("com"), "com", "give net or com, not both");
            return false;
        }
        if (args.net.empty() && args.com.empty()) {
            const std::string name = c.has("net") ? "net" : "com";
            problem(c.row, c.column(name), name, "give net or com: the row has no link");
            return false;
        }
        if (!args.net.empty() && !args.mode.empty()) {
            problem(c.row, c.column("mode"), "mode", "serial settings need a com link");
            return false;
        }
        out.linkColumn = args.net.empty() ? "com" : "net";
        out.linkText = args.net.empty() ? args.com : args.net;
        return true;
    }

    bool checkId(const Cells& c, FleetRow& out) {
        const std::string text = c.get("id");
        if (text.empty()) {
            out.id = 0;
            return true;
        }
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out.id);
        if (ec != std::errc{} || ptr != text.data() + text.size() || out.id < 0 || out.id > 9999) {
            problem(c.row, c.column("id"), "id",
                    "\"" + oneLine(text) + "\" is not a device ID 0-9999");
            return false;
        }
        return true;
    }

    bool checkFile(const Cells& c, FleetRow& out) {
        const std::string cell = c.get("file");
        const int column = c.column("file");
        if (cell.empty() && defaults_.file.empty()) {
            problem(c.row, column, "file", "no firmware file: fill the file column or give --file");
            return false;
        }
        out.fileText = cell.empty() ? defaults_.file : cell;
        out.filePath = cell.empty() || pathFromUtf8(cell).is_absolute()
                           ? out.fileText
                           : utf8FromPath(folder_ / pathFromUtf8(cell));
        const auto [known, added] = firmware_.try_emplace(out.filePath);
        if (added) {
            known->second = read(out.filePath);
        }
        const Firmware& file = known->second;
        if (!file.opened) {
            problem(c.row, column, "file",
                    "cannot open " + oneLine(out.filePath) + ": " + unreadableReason(out.filePath));
            return false;
        }
        if (!file.loaded) {
            problem(c.row, column, "file",
                    oneLine(out.filePath) + " is not a firmware file a device takes");
            return false;
        }
        out.fileModel = file.loaded->image.modelCode;
        out.sha256 = file.sha256;
        out.firmware = file.loaded;
        return true;
    }

    // What the check knows of a firmware file, by the path rows read it from.
    struct Firmware {
        bool opened = false;
        std::shared_ptr<const LoadedFirmware> loaded;  // none: the header is refused
        std::string sha256;
    };

    // Selects and loads the file once. A load that fails leaves no pages and
    // its reason, which each row's run gives when it comes to the load, as
    // a single upgrade does.
    static Firmware read(const std::string& path) {
        Firmware file;
        auto loaded = std::make_shared<LoadedFirmware>();
        const FileSelection selection = selectFirmwareFile(path, loaded->image);
        file.opened = selection.opened;
        if (!selection.opened || !selection.accepted) {
            return file;
        }
        loaded->load = loadFirmwareImage(loaded->image);
        file.sha256 = loaded->load.ok() ? loaded->image.loadedSha256 : fileSha256(path);
        file.loaded = std::move(loaded);
        return file;
    }

    // A device named by two rows would get two images, and one of them is
    // refused when the models differ.
    void checkSameDevice(const Cells& c, const FleetRow& out) {
        const auto [known, added] =
            rowOfDevice_.emplace(std::make_pair(out.linkKey, out.id), result.rows.size());
        if (added) {
            return;
        }
        const FleetRow& other = result.rows[known->second];
        if (other.fileModel != out.fileModel) {
            problem(c.row, c.column("file"), "file",
                    "the device of row " + std::to_string(other.row) + " (same link, ID " +
                        std::to_string(out.id) + ") is model " + modelHex(other.fileModel) +
                        " by its file; it would refuse this model " + modelHex(out.fileModel) +
                        " file");
        } else {
            problem(c.row, c.column("id"), "id",
                    "row " + std::to_string(other.row) +
                        " already upgrades the device at this link and ID");
        }
    }

    std::filesystem::path folder_;
    FleetDefaults defaults_;
    Header header_;
    std::map<std::string, Firmware> firmware_;
    LinkNames links_;
    // The first row of each device (link and ID), as an index of result.rows.
    std::map<std::pair<std::string, int>, std::size_t> rowOfDevice_;
};

}  // namespace

FleetManifest loadFleetManifest(const std::string& path, const FleetDefaults& defaults) {
    Checker checker(path, defaults);
    std::ifstream in(pathFromUtf8(path));
    if (!in) {
        checker.result.problems.push_back(
            {0, 0, "", "cannot open " + oneLine(path) + ": " + unreadableReason(path)});
        return checker.result;
    }
    std::string line;
    std::vector<std::string> cells;
    bool headerSeen = false;
    for (int row = 1; std::getline(in, line); ++row) {
        // Files saved by spreadsheets start with a byte order mark and end
        // lines with CR LF.
        if (row == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
            line.erase(0, 3);
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string content = trim(line);
        if (content.empty() || content.front() == '#') {
            continue;
        }
        if (!splitCsvLine(line, cells)) {
            checker.result.problems.push_back({row, 0, "", "a quoted cell is never closed"});
            continue;
        }
        if (!headerSeen) {
            headerSeen = true;
            checker.header(row, cells);
            if (!checker.result.problems.empty()) {
                return checker.result;  // rows cannot be read against a broken header
            }
            continue;
        }
        checker.device(row, cells);
    }
    if (!headerSeen) {
        checker.result.problems.push_back({0, 0, "", "the manifest has no header row"});
    } else if (checker.result.rows.empty() && checker.result.problems.empty()) {
        checker.result.problems.push_back({0, 0, "", "the manifest names no device"});
    }
    return checker.result;
}

std::string describe(const ManifestProblem& problem) {
    std::string where;
    if (problem.row > 0) {
        where = "row " + std::to_string(problem.row);
        if (problem.column > 0) {
            where += ", column " + std::to_string(problem.column);
        }
        if (!problem.columnName.empty()) {
            where += " (" + oneLine(problem.columnName) + ")";
        }
        where += ": ";
    }
    return where + problem.text;
}

std::vector<std::string> describeProblems(const std::vector<ManifestProblem>& problems) {
    constexpr std::size_t kRowsNamed = 5;
    std::vector<std::string> lines;
    std::map<std::string, std::size_t> lineOf;  // what went wrong -> its line
    std::vector<std::vector<int>> alsoIn;       // per line: the other rows
    for (const ManifestProblem& p : problems) {
        const std::string what = std::to_string(p.column) + "\n" + p.columnName + "\n" + p.text;
        const auto [known, added] = lineOf.emplace(what, lines.size());
        if (added || p.row == 0) {
            lines.push_back(describe(p));
            alsoIn.emplace_back();
        } else {
            alsoIn[known->second].push_back(p.row);
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::vector<int>& rows = alsoIn[i];
        if (rows.empty()) {
            continue;
        }
        std::string named;
        for (std::size_t r = 0; r < std::min(rows.size(), kRowsNamed); ++r) {
            named += (r == 0 ? "" : ", ") + std::to_string(rows[r]);
        }
        if (rows.size() > kRowsNamed) {
            named += " and " + std::to_string(rows.size() - kRowsNamed) + " more";
        }
        lines[i] += " (the same in row" + std::string(rows.size() > 1 ? "s " : " ") + named + ")";
    }
    return lines;
}

std::string fileSha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return {};
    }
    return hash.result().toHex().toStdString();
}

}  // namespace flashmere::cli
