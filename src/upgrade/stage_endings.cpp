#include <algorithm>
#include <cstdio>
#include <string>

#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr std::size_t kPagesNamed = 8;

}  // namespace

std::string describePages(const std::vector<PageRef>& pages) {
    char text[48];
    if (pages.size() == 1) {
        std::snprintf(text, sizeof text, "page %d (0x%04X)", pages[0].index,
                      static_cast<unsigned>(pages[0].address));
        return text;
    }
    std::string list = "pages ";
    const std::size_t named = std::min(pages.size(), kPagesNamed);
    for (std::size_t i = 0; i < named; ++i) {
        if (i > 0) {
            list += i + 1 == named && named == pages.size() ? " and " : ", ";
        }
        list += std::to_string(pages[i].index);
    }
    if (named < pages.size()) {
        list += " and " + std::to_string(pages.size() - named) + " more";
    }
    return list;
}

std::string linkLostReason(const DeviceSession& s, const char* stage) {
    return std::string("the link was lost during ") + stage + " (" + s.link.lossNote() + ")";
}

StageResult stageFailed(std::string reason) {
    return {false, std::move(reason), {}};
}

bool pageGivenUp(DeviceSession& s, StageResult& result, PageRef page, const char* stage,
                 const char* failure) {
    if (s.link.lost()) {
        result = stageFailed(linkLostReason(s, stage));
        return true;
    }
    if (s.link.lastEnd() == ExchangeEnd::WriteFailed) {
        // Nothing reached the device: Skip error cannot pass such a page over.
        result = stageFailed(describePages({page}) + " " + failure + ": " + s.link.writeFailure());
        return true;
    }
    if (!s.options.skipError) {
        result = stageFailed(describePages({page}) + " " + failure);
        return true;
    }
    result.passedOver.push_back(page);
    return false;
}

std::string startUnanswered(const DeviceSession& s, const char* request, const char* stage) {
    if (s.link.lost()) {
        return linkLostReason(s, stage);
    }
    if (s.link.lastEnd() == ExchangeEnd::WriteFailed) {
        return std::string("the ") + request + " that starts " + stage +
               " was not sent: " + s.link.writeFailure();
    }
    return std::string("the device did not answer the ") + request + " that starts " + stage;
}

}  // namespace flashmere
