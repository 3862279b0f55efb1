#include "sim_event.h"

#include <cstdio>

#include "sim_wire.h"

namespace flashmere {
namespace {

using simwire::hex4;
using simwire::hex8;
using simwire::hexString;

std::string jsonEscape(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

const char* toString(SimFrameKind kind) {
    switch (kind) {
        case SimFrameKind::None:
            return "none";
        case SimFrameKind::Binary:
            return "binary";
        case SimFrameKind::Text:
            return "text";
        case SimFrameKind::Tab:
            return "tab";
        case SimFrameKind::AA:
            return "aa";
        case SimFrameKind::Fixed:
            return "fixed";
    }
    return "none";
}

const char* toString(SimEventType type) {
    switch (type) {
        case SimEventType::Request:
            return "request";
        case SimEventType::Reply:
            return "reply";
        case SimEventType::NoReply:
            return "no-reply";
        case SimEventType::Noise:
            return "noise";
        case SimEventType::Flush:
            return "flush";
        case SimEventType::Disconnect:
            return "disconnect";
        case SimEventType::Reboot:
            return "reboot";
        case SimEventType::LinkOpened:
            return "link-opened";
        case SimEventType::LinkClosed:
            return "link-closed";
    }
    return "none";
}

std::string toJsonLine(const SimEvent& e) {
    std::string out =
        "{\"t\":" + std::to_string(e.atMs) + ",\"event\":\"" + toString(e.type) + "\"";
    if (e.kind != SimFrameKind::None) {
        out += ",\"kind\":\"" + std::string(toString(e.kind)) + "\"";
        out += ",\"address\":" + std::to_string(e.address);
    }
    if (e.kind == SimFrameKind::Binary || e.kind == SimFrameKind::Fixed) {
        out += ",\"command\":\"0x" + hex4(e.command) + "\"";
    }
    if (e.pin) {
        out += ",\"pin\":\"0x" + hex4(*e.pin) + "\"";
    }
    if (!e.text.empty()) {
        out += ",\"text\":\"" + jsonEscape(e.text) + "\"";
    }
    if (!e.payload.empty()) {
        out += ",\"payload\":\"" + hexString(e.payload) + "\"";
    }
    if (e.pageAddress) {
        out += ",\"page_address\":\"0x" + hex8(*e.pageAddress) + "\"";
    }
    if (!e.note.empty()) {
        out += ",\"note\":\"" + jsonEscape(e.note) + "\"";
    }
    if (e.bytes != 0) {
        out += ",\"bytes\":" + std::to_string(e.bytes);
    }
    out += "}";
    return out;
}

}  // namespace flashmere
