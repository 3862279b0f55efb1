#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "device/device_protocol.h"
#include "device/request_retries.h"
#include "firmware/file_path.h"
#include "link/crc.h"
#include "service/output_files.h"
#include "service/service_functions.h"
#include "service/service_run.h"
#include "upgrade/page_request.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr int kReadAttempts = 10;
// Each page is asked for up to ten times, 100 ms before every request and
// after every failure, each failure counted in ErrorCounter::Verify; a lost link ends the
// attempts.
constexpr RetryPolicy kPageReadRetries{.attempts = kReadAttempts,
                                       .pauseBeforeMs = 100,
                                       .retryPauseMs = 100,
                                       .counter = ErrorCounter::Verify};

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

// Why one of the three files cannot be put into the folder; empty when all
// three can. Checked before the device is touched: a name taken by a folder
// or a special file would fail the read-back only at its end.
std::string outputNameInTheWay(const std::string& outputFolder) {
    for (const char* name : {kReadBackDump, kReadBackLines, kReadBackPages}) {
        if (std::string inTheWay = nameInTheWay(pathFromUtf8(outputFolder) / name);
            !inTheWay.empty()) {
            return inTheWay;
        }
    }
    return {};
}

// The hexadecimal listings as they grow.
struct Listings {
    std::vector<std::string> lines;  // 16 bytes to a line
    std::vector<std::string> pages;  // one line per page
};

// Asks for one page; true when it was answered. A page that needed more
// than one attempt counts in ErrorCounter::Program.
bool readPage(DeviceSession& s, int index) {
    const ModelFamily& family = serviceFamily();
    const auto head = pageRequestHead(
        static_cast<std::uint32_t>(index) * static_cast<std::uint32_t>(family.layout.pageSize),
        family.verification->form);
    s.pause(5);
    s.setCounter(ErrorCounter::Verify, 0);
    const bool read = sendWithRetries(s, kPageReadRetries,
                                      [&] { return s.exchange(serviceCommands().read, head); });
    if (s.counter(ErrorCounter::Verify) > 0) {
        s.bumpErrorCounter(ErrorCounter::Program);
    }
    return read;
}

// Lists the page just asked for in the window and the listings and gives
// its bytes for the dump. A page that could not be read is FF, then zeros.
std::vector<std::uint8_t> listPage(DeviceSession& s, bool read, Listings& listings) {
    const ReplyFrame& reply = s.link.reply;
    std::vector<std::uint8_t> page(static_cast<std::size_t>(serviceFamily().layout.pageSize));
    page[0] = 0xFF;
    std::string pageText;
    std::string lineText;
    for (std::size_t j = 0; read && j < page.size(); ++j) {
        if (!lineText.empty() && j % 16 == 0) {
            s.panel.setLineTrace(lineText);
            listings.lines.push_back(lineText);
            lineText.clear();
        }
        page[j] = reply.payload[8 + j];
        const std::string byte = hexByte(page[j]) + " ";
        lineText += byte;
        pageText += byte;
    }
    s.panel.setPageTrace(pageText);
    s.panel.setLineTrace("");
    listings.lines.push_back(lineText);
    listings.pages.push_back(bracketedLength(reply.payloadLength) + pageText);
    return page;
}

// Reads the pages into the dump and the listings; stops early only when the
// dump can no longer be written. Once the link is lost no page is asked for:
// the rest are listed as unanswered at once.
void readPages(DeviceSession& s, OutputFile& dump, Listings& listings, ReadBackResult& result) {
    for (int i = 0; i < kReadBackPageCount; ++i) {
        const bool read = !s.link.lost() && readPage(s, i);
        if (read) {
            ++result.pagesRead;
        } else {
            result.unansweredPages.push_back(i);
        }
        const auto page = listPage(s, read, listings);
        dump.write(page.data(), page.size());
        s.panel.setVerifyPosition(i);
        if (!dump.ok()) {
            break;
        }
    }
}

// Writes the listings beside the dump and gives all three files their
// names; false (with the reason) when any of them failed.
bool publishFiles(const std::string& outputFolder, OutputFile& dump, const Listings& listings,
                  std::string& error) {
    OutputFile lineFile(outputFolder, kReadBackLines);
    lineFile.writeLines(listings.lines);
    OutputFile pageFile(outputFolder, kReadBackPages);
    pageFile.writeLines(listings.pages);
    return dump.finish(error) && lineFile.finish(error) && pageFile.finish(error) &&
           publishAll({&dump, &lineFile, &pageFile}, error);
}

ReadBackResult endWithFileError(DeviceSession& s, ReadBackResult result, const std::string& error) {
    result.error = error;
    s.show(MessageRow::msgProgramError, error);
    s.failureSignal();
    result.outcome = endedAs(s, RunEnding::FileNotWritten);
    return result;
}

// The ending once the files are written: every page answered, or which not.
void endWithFilesWritten(DeviceSession& s, ReadBackResult& result) {
    if (!result.unansweredPages.empty()) {
        const std::string why =
            s.link.lost() ? " not read: " + linkLostReason(s, "the read-back")
                          : " not answered in " + std::to_string(kReadAttempts) + " attempts";
        s.show(MessageRow::msgProgramError,
               pageList(result.unansweredPages) + " of " + std::to_string(kReadBackPageCount) +
                   (result.unansweredPages.size() == 1 ? " was" : " were") + why +
                   "; the files hold FF 00 ... 00 in their place");
        s.failureSignal();
        result.outcome = endedAs(s, RunEnding::Incomplete);
        return;
    }
    s.show(MessageRow::msgProgramOk);
    s.successSignal();
    result.outcome = endedAs(s, RunEnding::Done);
}

}  // namespace

ReadBackResult readBackDevice(ServiceContext& c, std::uint16_t modelCode,
                              const std::string& outputFolder) {
    ReadBackResult result;
    if (modelCode != kServiceModel) {
        result.outcome = endNotServed(c.panel, "the read-back", modelCode);
        return result;
    }
    if (std::string inTheWay = outputNameInTheWay(outputFolder); !inTheWay.empty()) {
        result.error = inTheWay;
        result.outcome =
            endUntouched(c.panel, RunEnding::FileNotWritten, MessageRow::msgProgramError, inTheWay);
        return result;
    }
    FirmwareImage noImage;
    ServiceRun run(c, noImage);
    if (auto notOpened = run.start()) {
        result.outcome = *notOpened;
        return result;
    }
    DeviceSession& s = run.session;
    if (const auto refused = refuseUnlessServedDevice(s, "the read-back")) {
        result.outcome = *refused;
        return result;
    }
    s.pause(20);
    s.panel.setVerifyRange(kReadBackPageCount);
    s.setCounter(ErrorCounter::Program, 0);

    OutputFile dump(outputFolder, kReadBackDump);
    const std::array<std::uint8_t, 32> noHeader{};
    dump.write(noHeader.data(), noHeader.size());
    if (!dump.ok()) {
        return endWithFileError(s, result, "cannot create " + dump.path() + dump.openProblem());
    }
    Listings listings;
    readPages(s, dump, listings, result);
    if (std::string error; !publishFiles(outputFolder, dump, listings, error)) {
        return endWithFileError(s, result, error);
    }
    s.panel.setVerifyPosition(kReadBackPageCount);
    s.exchange(serviceCommands().mode, kRunModePayload);
    endWithFilesWritten(s, result);
    return result;
}

}  // namespace flashmere
