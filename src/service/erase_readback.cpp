#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "device/device_session.h"
#include "firmware/file_path.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "service/service_functions.h"
#include "upgrade/page_request.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kHello = 0x0001;
constexpr std::uint16_t kMode = 0x6038;
constexpr std::uint16_t kErase = 0x603B;
constexpr std::uint16_t kRead = 0x603A;
constexpr std::uint16_t kServedModel = 0x8401;
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

// One output file, written under "<name>.part" and renamed when complete.
class OutputFile {
  public:
    OutputFile(const std::string& folder, const char* name)
        : final_(pathFromUtf8(folder) / name),
          part_(std::filesystem::path(final_) += ".part"),
          out_(part_, std::ios::binary | std::ios::trunc) {}
    ~OutputFile() {
        if (!committed_) {
            out_.close();
            std::error_code ignored;
            std::filesystem::remove(part_, ignored);
        }
    }
    bool ok() const { return out_.good(); }
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
        if (out_.fail()) {
            error = "cannot write " + path();
            return false;
        }
        return true;
    }
    // Gives the finished file its name.
    bool publish(std::string& error) {
        std::error_code ec;
        std::filesystem::rename(part_, final_, ec);
        if (ec) {
            error = "cannot write " + path() + ": " + ec.message();
            return false;
        }
        committed_ = true;
        return true;
    }
    // Takes a published file back, when a later one of the set failed.
    void withdraw() {
        if (committed_) {
            std::error_code ignored;
            std::filesystem::remove(final_, ignored);
            committed_ = false;
        }
    }
    std::string path() const { return utf8FromPath(final_); }

  private:
    std::filesystem::path final_;
    std::filesystem::path part_;
    std::ofstream out_;
    bool committed_ = false;
};

std::string bracketedLength(std::uint16_t length) {
    char text[16];
    std::snprintf(text, sizeof text, "[%03u]", unsigned{length});
    return text;
}

}  // namespace

EraseResult eraseDeviceBlocks(ServiceContext& c, FirmwareImage& image) {
    EraseResult result;
    ServiceLink service(c);
    if (!service.link.openLink()) {
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
    result.outcome = ServiceOutcome::NotServed;
    if (image.modelCode != kServedModel) {
        return result;
    }
    s.pause(100);
    if (!s.exchange(kHello)) {
        return result;
    }

    bool erased = false;
    c.panel.setProgramRange(kEraseProgressMaximum);
    for (int i = 0; i < image.pageCount; ++i) {
        if (i % 4 == 0) {
            erased = false;
            s.pause(10);
            const auto head =
                pageRequestHead(static_cast<std::uint32_t>(i) * 256U, AddressForm::Bits16);
            if (!s.exchange(kErase, head)) {
                s.bumpErrorCounter(ErrorCounter::edErrrE);
                s.pause(100);
                if (!s.exchange(kErase, head)) {
                    break;
                }
            }
            erased = true;
            ++result.blocksErased;
            s.pause(200);
        }
        c.panel.setProgramPosition(i);
    }
    if (erased) {
        c.panel.setProgramPosition(kEraseProgressMaximum);
        result.outcome = ServiceOutcome::Done;
    } else {
        s.show(MessageRow::msgProgramError);
        result.outcome = ServiceOutcome::Failed;
    }
    return result;
}

ReadBackResult readBackDevice(ServiceContext& c, std::uint16_t modelCode,
                              const std::string& outputFolder) {
    ReadBackResult result;
    ServiceLink service(c);
    if (!service.link.openLink()) {
        return result;
    }
    FirmwareImage noImage;
    DeviceSession s(c.panel, service.link, c.clock, noImage, c.options);
    s.show(MessageRow::msgProgramming);
    c.panel.setBusyIndicator(true);

    result.outcome = ServiceOutcome::NotServed;
    const bool group84 = modelCode == 0x8400 || modelCode == 0x8401 || modelCode == 0x8402;
    if (!group84 || !s.exchange(kHello) || modelCode != kServedModel) {
        return result;
    }

    std::vector<std::string> lines;  // 16 bytes to a line
    std::vector<std::string> pages;  // one line per page
    s.pause(20);
    c.panel.setVerifyRange(kReadBackPageCount);
    s.setCounter(ErrorCounter::edErrrP, 0);

    OutputFile dump(outputFolder, kReadBackDump);
    const std::array<std::uint8_t, 32> noHeader{};
    dump.write(noHeader.data(), noHeader.size());
    if (!dump.ok()) {
        result.outcome = ServiceOutcome::FileError;
        result.error = "cannot create " + dump.path();
        return result;
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
            ++result.pagesFailed;
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
    // Only a read-back whose three files were all written gives them their
    // names; a failed one leaves nothing that looks complete.
    const bool written =
        dump.finish(result.error) && lineFile.finish(result.error) && pageFile.finish(result.error);
    if (!written || !dump.publish(result.error) || !lineFile.publish(result.error) ||
        !pageFile.publish(result.error)) {
        dump.withdraw();
        lineFile.withdraw();
        result.outcome = ServiceOutcome::FileError;
        return result;
    }
    c.panel.setVerifyPosition(kReadBackPageCount);
    s.exchange(kMode, kRunMode);
    result.outcome = ServiceOutcome::Done;
    return result;
}

}  // namespace flashmere
