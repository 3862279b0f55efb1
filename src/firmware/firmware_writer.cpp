#include "firmware/firmware_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "firmware/file_path.h"
#include "firmware/new_file.h"
#include "firmware/regular_file.h"

namespace flashmere {

namespace {

bool printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

std::optional<std::string> checkField(std::string_view what, std::string_view text,
                                      std::size_t maxLength) {
    const std::string field(what);
    if (text.size() > maxLength) {
        return field + " \"" + std::string(text.substr(0, 40)) + "\" is longer than " +
               std::to_string(maxLength) + " characters";
    }
    if (!std::all_of(text.begin(), text.end(), printable)) {
        return field + " holds a character that is not printable ASCII";
    }
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) {
        return field + " \"" + std::string(text) +
               "\" starts or ends with a blank, which the header cannot keep";
    }
    return std::nullopt;
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// A name for the temporary file that no other writer picks.
std::string temporaryPathFor(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    return path + ".tmp-" + std::to_string(entropy()) + "-" + std::to_string(counter++);
}

// Where the bytes for `path` go: a symlink is followed to the file it names
// (which may not exist yet), so the link stays and its target is replaced.
std::filesystem::path finalTarget(const std::filesystem::path& path, std::error_code& error) {
    std::filesystem::path at = path;
    // Bounded as the system bounds link chains; a loop ends in ELOOP.
    for (int hops = 0; hops < 40; ++hops) {
        const auto status = std::filesystem::symlink_status(at, error);
        if (status.type() == std::filesystem::file_type::not_found) {
            error.clear();  // a new file is written there
            return at;
        }
        if (error || status.type() != std::filesystem::file_type::symlink) {
            return at;
        }
        const std::filesystem::path next = std::filesystem::read_symlink(at, error);
        if (error) {
            return at;
        }
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return at;
}

// Why the file at `target` must not be replaced, or empty when it may: only a
// regular file is ever replaced (never a folder, device, FIFO or socket).
std::string replaceProblem(const std::filesystem::path& target) {
    std::error_code error;
    const auto status = std::filesystem::status(target, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return {};
    }
    if (error) {
        return error.message();
    }
    if (status.type() != std::filesystem::file_type::regular) {
        return "it is not a regular file and is left as it is";
    }
    return {};
}

}  // namespace

std::optional<std::string> checkHeaderText(std::string_view name, std::string_view version) {
    if (name.empty()) {
        return std::string("name is empty; the version would move into its place");
    }
    if (auto problem = checkField("name", name, kNameLength)) {
        return problem;
    }
    return checkField("version", version, kVersionLength);
}

HeaderBytes makePlainHeader(std::uint16_t modelCode, std::string_view name,
                            std::string_view version) {
    // Each field is a span of its fixed size and is filled by walking the
    // field, not the text: no write can leave the field, whatever text is
    // given, and the compiler sees that too.
    HeaderBytes header{};
    const std::span<std::uint8_t, kHeaderSize> all(header);
    const auto put = [](auto field, std::string_view text, std::uint8_t padding) {
        for (std::size_t i = 0; i < field.size(); ++i) {
            field[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : padding;
        }
    };
    put(all.first<kHeaderMagic.size()>(), kHeaderMagic, 0);
    const auto model = all.subspan<8, 2>();
    model[0] = static_cast<std::uint8_t>(modelCode >> 8);
    model[1] = static_cast<std::uint8_t>(modelCode & 0xFF);
    put(all.subspan<16, kNameLength>(), name, ' ');
    put(all.subspan<16 + kNameLength, kVersionLength>(), version, 0);
    return header;
}

WriteResult writeFirmwareFile(const std::string& path, std::uint16_t modelCode,
                              std::string_view name, std::string_view version,
                              std::span<const std::uint8_t> body) {
    if (auto problem = checkHeaderText(name, version)) {
        return {false, *problem};
    }
    return writeFirmwareFileRaw(path, makePlainHeader(modelCode, name, version), body);
}

WriteResult writeFirmwareFileRaw(const std::string& path, const HeaderBytes& plainHeader,
                                 std::span<const std::uint8_t> body) {
    HeaderBytes stored = plainHeader;
    decodeHeader(stored);

    std::error_code resolveError;
    const std::filesystem::path target = finalTarget(pathFromUtf8(path), resolveError);
    if (resolveError) {
        return {false, "cannot write " + path + ": " + resolveError.message()};
    }
    if (const std::string problem = replaceProblem(target); !problem.empty()) {
        return {false, "cannot write " + path + ": " + problem};
    }
    const std::string temporary = temporaryPathFor(utf8FromPath(target));
    // Never a file that is already there.
    FileHandle file(createNewBinaryFile(temporary));
    if (!file) {
        return {false, "cannot write " + path + ": " + errnoText(errno)};
    }
    auto fail = [&](const std::string& what, int error) {
        file.reset();
        std::error_code ignored;
        std::filesystem::remove(pathFromUtf8(temporary), ignored);
        return WriteResult{false, what + ": " + errnoText(error)};
    };
    if (std::fwrite(stored.data(), 1, stored.size(), file.get()) != stored.size() ||
        (!body.empty() && std::fwrite(body.data(), 1, body.size(), file.get()) != body.size())) {
        return fail("cannot write " + path, errno);
    }
    if (std::fflush(file.get()) != 0) {
        return fail("cannot write " + path, errno);
    }
    if (std::fclose(file.release()) != 0) {
        return fail("cannot write " + path, errno);
    }
    std::error_code error;
    std::filesystem::rename(pathFromUtf8(temporary), target, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(pathFromUtf8(temporary), ignored);
        return {false, "cannot write " + path + ": " + error.message()};
    }
    return {true, {}};
}

}  // namespace flashmere
