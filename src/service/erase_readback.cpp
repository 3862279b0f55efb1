#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "device/device_session.h"
#include "firmware/file_path.h"
#include "firmware/model_family.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "service/service_functions.h"
#include "upgrade/page_request.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kHello = 0x0001;
// The served model's loader commands, as its family's row gives them.
const CommandSet kServedCommands = modelFamilyFor(kServiceModel).commands;
const std::uint16_t kMode = kServedCommands.mode;
const std::uint16_t kErase = kServedCommands.erase;
const std::uint16_t kRead = kServedCommands.read;
constexpr std::array<std::uint8_t, 8> kLoaderMode = {0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 8> kRunMode = {0x5B, 0xE4, 0, 0, 0, 0, 0, 0};
constexpr int kEraseProgressMaximum = 96;
constexpr int kReadAttempts = 10;

// A link opened with the service's options, closed on every way out.
struct ServiceLink {
    explicit ServiceLink(ServiceContext& c) : link(c.transports, c.clock, c.panel) {
        link.linkKind = c.options.linkKind;
        link.settings = c.options.link;
        link.pinText = c.options.pinText;
    }
    ~ServiceLink() { link.closeLink(); }
    LinkChannel link;
};

std::string modelText(std::uint16_t model) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned{model});
    return text;
}

std::string addressText(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// An ending before the device was asked anything: the message with its
// reason, and the failure signal.
void endUntouched(OperatorPanel& panel, MessageRow row, const std::string& reason) {
    panel.setPnMsg(row);
    panel.setPnMsgReason(reason);
    panel.setBusyIndicator(false);
    panel.setLamp(LampColour::Red);
    panel.tone(300, 300);
}

// The ending of a service function that was given a file of another model
// than the one it serves, or none.
void endNotServed(OperatorPanel& panel, const char* function, std::uint16_t fileModel) {
    const std::string serves = std::string(function) + " serves model " + modelText(kServiceModel);
    if (fileModel == 0) {
        endUntouched(panel, MessageRow::msgSelectFile,
                     serves + " only: choose a firmware file of that model first");
    } else {
        endUntouched(panel, MessageRow::msgFileTypeError,
                     serves + " only; the firmware file is for model " + modelText(fileModel));
    }
}

// Sends the hello request. Nothing when a device of the served model
// answered it; otherwise the ending, already shown with its reason.
std::optional<ServiceOutcome> refuseUnlessServedDevice(DeviceSession& s, const char* function) {
    const std::string device = "device ID " + std::to_string(s.deviceAddress());
    auto refuse = [&](ServiceOutcome outcome, MessageRow row, const std::string& reason) {
        s.show(row, reason);
        s.failureSignal();
        return outcome;
    };
    if (!s.exchange(kHello)) {
        return refuse(
            ServiceOutcome::NoAnswer, MessageRow::msgConnectError,
            device + " did not answer the hello request on " + serviceLinkText(s.options));
    }
    const ReplyFrame& reply = s.link.reply;
    if (reply.payloadLength == 0) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " refused the PIN");
    }
    if (reply.payloadLength != 8) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " answered the hello request with " +
                          std::to_string(reply.payloadLength) +
                          " bytes instead of its model, serial number and ID");
    }
    const auto model = static_cast<std::uint16_t>(reply.payload[0] << 8 | reply.payload[1]);
    if (model != kServiceModel) {
        return refuse(ServiceOutcome::DeviceRefused, MessageRow::msgModelOrPinError,
                      device + " reports model " + modelText(model) + "; " + function +
                          " serves model " + modelText(kServiceModel) + " only");
    }
    return std::nullopt;
}

// Why nothing can be put at path: something that is not a file (a folder, a
// device, a pipe) has that name. Empty when a file may go there.
std::string nameInTheWay(const std::filesystem::path& path) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(path, ec).type();
    if (type == std::filesystem::file_type::not_found ||
        type == std::filesystem::file_type::regular ||
        type == std::filesystem::file_type::symlink) {
        return {};
    }
    return "cannot write " + utf8FromPath(path) + ": " +
           (type == std::filesystem::file_type::directory ? "a folder"
                                                          : "something that is no file") +
           " of that name is in the way";
}

// A name beside path that nothing in the folder has yet; empty when a
// hundred tries found none.
std::filesystem::path freshName(const std::filesystem::path& path, const char* suffix) {
    for (int n = 0; n < 100; ++n) {
        std::filesystem::path candidate = path;
        candidate += (n == 0 ? std::string() : "." + std::to_string(n)) + suffix;
        std::error_code ec;
        if (std::filesystem::symlink_status(candidate, ec).type() ==
            std::filesystem::file_type::not_found) {
            return candidate;
        }
    }
    return {};
}

// One output file, written under a fresh "<name>.part" and renamed when
// complete. A file that had the name before is kept aside until the whole
// set is published, and put back when the set fails.
class OutputFile {
  public:
    OutputFile(const std::string& folder, const char* name)
        : final_(pathFromUtf8(folder) / name), part_(freshName(final_, ".part")) {
        if (!part_.empty()) {
            out_.open(part_, std::ios::binary | std::ios::trunc);
        }
    }
    ~OutputFile() {
        if (!published_ && !part_.empty()) {
            out_.close();
            std::error_code ignored;
            std::filesystem::remove(part_, ignored);
        }
    }
    bool ok() const { return out_.is_open() && out_.good(); }
    void write(const void* data, std::size_t n) {
        out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    }
    void writeLines(const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            write(line.data(), line.size());
            write("\r\n", 2);
        }
    }
    // Closes the file; false (with the reason) when any write failed.
    bool finish(std::string& error) {
        out_.close();
        if (part_.empty() || out_.fail()) {
            error = "cannot write " + path();
            return false;
        }
        return true;
    }
    // Gives the finished file its name.
    bool publish(std::string& error) {
        if (std::string inTheWay = nameInTheWay(final_); !inTheWay.empty()) {
            error = inTheWay;
            return false;
        }
        std::error_code ec;
        if (std::filesystem::symlink_status(final_, ec).type() !=
            std::filesystem::file_type::not_found) {
            aside_ = freshName(final_, ".previous");
            if (aside_.empty()) {
                error = "cannot write " + path() + ": no free name to keep the old file";
                return false;
            }
            std::filesystem::rename(final_, aside_, ec);
            if (ec) {
                aside_.clear();
                error = "cannot write " + path() + ": " + ec.message();
                return false;
            }
        }
        std::filesystem::rename(part_, final_, ec);
        if (ec) {
            putBack();
            error = "cannot write " + path() + ": " + ec.message();
            return false;
        }
        published_ = true;
        return true;
    }
    // Takes a published file back, when a later one of the set failed: the
    // file that had the name before has it again.
    void withdraw() {
        if (published_ && aside_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(final_, ignored);
        }
        published_ = false;
        putBack();
    }
    // The whole set is published: the earlier file is no longer needed.
    void keep() {
        if (!aside_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(aside_, ignored);
            aside_.clear();
        }
    }
    std::string path() const { return utf8FromPath(final_); }

  private:
    void putBack() {
        if (!aside_.empty()) {
            std::error_code ignored;
            std::filesystem::rename(aside_, final_, ignored);
            aside_.clear();
        }
    }

    std::filesystem::path final_;
    std::filesystem::path part_;
    std::filesystem::path aside_;
    std::ofstream out_;
    bool published_ = false;
};

// Publishes the set: all three files get their names, or none does and the
// folder is as it was.
bool publishAll(std::initializer_list<OutputFile*> files, std::string& error) {
    std::vector<OutputFile*> done;
    for (OutputFile* file : files) {
        if (!file->publish(error)) {
            for (OutputFile* earlier : done) {
                earlier->withdraw();
            }
            return false;
        }
        done.push_back(file);
    }
    for (OutputFile* file : done) {
        file->keep();
    }
    return true;
}

std::string bracketedLength(std::uint16_t length) {
    char text[16];
    std::snprintf(text, sizeof text, "[%03u]", unsigned{length});
    return text;
}

// "pages 3, 7 and 12", at most ten numbers and how many more.
std::string pageList(const std::vector<int>& pages) {
    constexpr std::size_t kShown = 10;
    std::string text = pages.size() == 1 ? "page " : "pages ";
    const std::size_t shown = std::min(pages.size(), kShown);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) {
            text += (i + 1 == shown && pages.size() <= kShown) ? " and " : ", ";
        }
        text += std::to_string(pages[i]);
    }
    if (pages.size() > kShown) {
        text += " and " + std::to_string(pages.size() - kShown) + " more";
    }
    return text;
}

}  // namespace

std::string serviceLinkText(const OperatorOptions& options) {
    if (options.linkKind == kLinkNet) {
        return "TCP " + options.link.netIP + ":" + std::to_string(tcpPortFor(options.link.netPort));
    }
    return "serial port " + options.link.comPortName + " (" + options.link.comBaudRate + ")";
}

EraseBlocks eraseBlocksFor(int pageCount) {
    EraseBlocks blocks;
    if (pageCount > 0) {
        blocks.count = (pageCount + 3) / 4;
        blocks.lastAddress = static_cast<std::uint32_t>(blocks.count - 1) * 4U * 256U;
    }
    return blocks;
}

EraseResult eraseDeviceBlocks(ServiceContext& c, FirmwareImage& image) {
    EraseResult result;
    if (image.modelCode != kServiceModel) {
        result.outcome = ServiceOutcome::NotServed;
        endNotServed(c.panel, "the erase", image.modelCode);
        return result;
    }
    if (image.pageCount <= 0) {
        result.outcome = ServiceOutcome::Failed;
        endUntouched(c.panel, MessageRow::msgProgramError,
                     "the firmware image holds no page: there is nothing to erase");
        return result;
    }
    ServiceLink service(c);
    if (!service.link.openLink()) {
        endUntouched(c.panel, MessageRow::msgOpenPortError,
                     "cannot open the link: " + serviceLinkText(c.options));
        return result;
    }
    DeviceSession s(c.panel, service.link, c.clock, image, c.options);
    s.adoptCounter(ErrorCounter::edErrrE, c.eraseErrors);
    s.show(MessageRow::msgProgramming);
    c.panel.setBusyIndicator(true);

    // Put the device into its loader; the outcome of this loop is not used.
    for (int pass = 0; pass < 5; ++pass) {
        s.exchange(kMode, kLoaderMode);
        s.pause(100);
        s.exchange(kMode, kLoaderMode);
        s.pause(100);
        if (s.exchange(kHello)) {
            break;
        }
        s.pause(50);
    }
    s.pause(100);
    if (const auto refused = refuseUnlessServedDevice(s, "the erase")) {
        result.outcome = *refused;
        return result;
    }

    bool erased = false;
    std::uint32_t failedAddress = 0;
    c.panel.setProgramRange(kEraseProgressMaximum);
    for (int i = 0; i < image.pageCount; ++i) {
        if (i % 4 == 0) {
            erased = false;
            s.pause(10);
            const std::uint32_t address = static_cast<std::uint32_t>(i) * 256U;
            const auto head = pageRequestHead(address, AddressForm::Bits16);
            if (!s.exchange(kErase, head)) {
                s.bumpErrorCounter(ErrorCounter::edErrrE);
                s.pause(100);
                if (!s.exchange(kErase, head)) {
                    failedAddress = address;
                    break;
                }
            }
            erased = true;
            ++result.blocksErased;
            s.pause(200);
        }
        // The bar counts pages up to its maximum; a larger image keeps it full.
        c.panel.setProgramPosition(std::min(i, kEraseProgressMaximum));
    }
    if (erased) {
        c.panel.setProgramPosition(kEraseProgressMaximum);
        s.show(MessageRow::msgProgramOk);
        s.successSignal();
        result.outcome = ServiceOutcome::Done;
    } else {
        s.show(MessageRow::msgProgramError,
               "the erase request for the block at " + addressText(failedAddress) +
                   " was not answered, nor its retry; " + std::to_string(result.blocksErased) +
                   " blocks before it were erased");
        s.failureSignal();
        result.outcome = ServiceOutcome::Failed;
    }
    return result;
}

ReadBackResult readBackDevice(ServiceContext& c, std::uint16_t modelCode,
                              const std::string& outputFolder) {
    ReadBackResult result;
    if (modelCode != kServiceModel) {
        result.outcome = ServiceOutcome::NotServed;
        endNotServed(c.panel, "the read-back", modelCode);
        return result;
    }
    // Refused before the device is touched: a name taken by a folder or a
    // special file would fail the read-back only at its end.
    for (const char* name : {kReadBackDump, kReadBackLines, kReadBackPages}) {
        if (std::string inTheWay = nameInTheWay(pathFromUtf8(outputFolder) / name);
            !inTheWay.empty()) {
            result.outcome = ServiceOutcome::FileError;
            result.error = inTheWay;
            endUntouched(c.panel, MessageRow::msgProgramError, inTheWay);
            return result;
        }
    }
    ServiceLink service(c);
    if (!service.link.openLink()) {
        endUntouched(c.panel, MessageRow::msgOpenPortError,
                     "cannot open the link: " + serviceLinkText(c.options));
        return result;
    }
    FirmwareImage noImage;
    DeviceSession s(c.panel, service.link, c.clock, noImage, c.options);
    s.show(MessageRow::msgProgramming);
    c.panel.setBusyIndicator(true);
    if (const auto refused = refuseUnlessServedDevice(s, "the read-back")) {
        result.outcome = *refused;
        return result;
    }

    auto fileError = [&](const std::string& error) {
        result.outcome = ServiceOutcome::FileError;
        result.error = error;
        s.show(MessageRow::msgProgramError, error);
        s.failureSignal();
        return result;
    };
    std::vector<std::string> lines;  // 16 bytes to a line
    std::vector<std::string> pages;  // one line per page
    s.pause(20);
    c.panel.setVerifyRange(kReadBackPageCount);
    s.setCounter(ErrorCounter::edErrrP, 0);

    OutputFile dump(outputFolder, kReadBackDump);
    const std::array<std::uint8_t, 32> noHeader{};
    dump.write(noHeader.data(), noHeader.size());
    if (!dump.ok()) {
        return fileError("cannot create " + dump.path());
    }

    const ReplyFrame& reply = service.link.reply;
    for (int i = 0; i < kReadBackPageCount; ++i) {
        const auto head =
            pageRequestHead(static_cast<std::uint32_t>(i) * 256U, AddressForm::Bits24);
        s.pause(5);
        s.setCounter(ErrorCounter::edErrrV, 0);
        bool read = false;
        for (int attempt = 0; attempt < kReadAttempts && !read; ++attempt) {
            s.pause(100);
            read = s.exchange(kRead, head);
            if (!read) {
                s.pause(100);
                s.bumpErrorCounter(ErrorCounter::edErrrV);
            }
        }
        if (s.counter(ErrorCounter::edErrrV) > 0) {
            s.bumpErrorCounter(ErrorCounter::edErrrP);
        }
        // A page that could not be read is written as FF and 255 zeros.
        std::array<std::uint8_t, 256> page{};
        page[0] = 0xFF;
        std::string pageText;
        std::string lineText;
        if (read) {
            for (int j = 0; j < 256; ++j) {
                if (!lineText.empty() && j % 16 == 0) {
                    c.panel.setEdtPage(lineText);
                    lines.push_back(lineText);
                    lineText.clear();
                }
                page[j] = reply.payload[8 + static_cast<std::size_t>(j)];
                const std::string byte = hexByte(page[j]) + " ";
                lineText += byte;
                pageText += byte;
            }
            ++result.pagesRead;
        } else {
            result.unansweredPages.push_back(i);
        }
        c.panel.setEdtPage1(pageText);
        c.panel.setEdtPage("");
        dump.write(page.data(), page.size());
        lines.push_back(lineText);
        pages.push_back(bracketedLength(reply.payloadLength) + pageText);
        c.panel.setVerifyPosition(i);
        if (!dump.ok()) {
            break;
        }
    }

    OutputFile lineFile(outputFolder, kReadBackLines);
    lineFile.writeLines(lines);
    OutputFile pageFile(outputFolder, kReadBackPages);
    pageFile.writeLines(pages);
    std::string error;
    if (!dump.finish(error) || !lineFile.finish(error) || !pageFile.finish(error) ||
        !publishAll({&dump, &lineFile, &pageFile}, error)) {
        return fileError(error);
    }
    c.panel.setVerifyPosition(kReadBackPageCount);
    s.exchange(kMode, kRunMode);
    if (!result.unansweredPages.empty()) {
        result.outcome = ServiceOutcome::Incomplete;
        s.show(MessageRow::msgProgramError,
               pageList(result.unansweredPages) + " of " + std::to_string(kReadBackPageCount) +
                   (result.unansweredPages.size() == 1 ? " was" : " were") + " not answered in " +
                   std::to_string(kReadAttempts) +
                   " attempts; the files hold FF 00 ... 00 in their place");
        s.failureSignal();
        return result;
    }
    result.outcome = ServiceOutcome::Done;
    s.show(MessageRow::msgProgramOk);
    s.successSignal();
    return result;
}

}  // namespace flashmere
