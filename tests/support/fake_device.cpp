#include "fake_device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <span>

#include "link/crc.h"

namespace flashmere::testing {
namespace {

std::uint16_t word(const std::vector<std::uint8_t>& f, std::size_t pos) {
    return static_cast<std::uint16_t>((f[pos] << 8) | f[pos + 1]);
}

std::vector<std::uint8_t> binaryReply(std::uint16_t code, std::uint16_t address,
                                      const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f = {0x06};
    const std::size_t length = payload.size() + 8;
    f.push_back(static_cast<std::uint8_t>(length >> 8));
    f.push_back(static_cast<std::uint8_t>(length & 0xFF));
    for (std::uint16_t w : {std::uint16_t{0x8801}, code, address}) {
        f.push_back(static_cast<std::uint8_t>(w >> 8));
        f.push_back(static_cast<std::uint8_t>(w & 0xFF));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    const std::uint16_t crc = crc16Kermit(std::span(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return f;
}

std::vector<std::uint8_t> textReply(const std::string& addressAndCode, const std::string& payload) {
    std::vector<std::uint8_t> f = {0x03};
    f.insert(f.end(), addressAndCode.begin(), addressAndCode.end());
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0x04);
    const std::uint16_t crc = crc16Arc(f);
    for (char c : hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                      hexByte(static_cast<std::uint8_t>(crc & 0xFF))) {
        f.push_back(static_cast<std::uint8_t>(c));
    }
    f.push_back(0x0D);
    return f;
}

// "0005YP..." -> address digits "0005", code "YP"; "07AS" -> "07", "AS".
std::pair<std::string, std::string> splitText(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 4 &&
           std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 3) {  // "%03dZx"
        return {text.substr(0, 3), text.substr(3, 2)};
    }
    return {text.substr(0, digits), text.substr(digits, 2)};
}

}  // namespace

std::uint32_t SeenRequest::headAddress() const {
    if (payload.size() < 8) {
        return 0;
    }
    return (std::uint32_t{payload[5]} << 16) | (std::uint32_t{payload[6]} << 8) | payload[7];
}

FakeDevice::FakeDevice(std::uint16_t modelCode) : model(modelCode) {
    onBinary = [this](const SeenRequest& r, int) { return healthyBinary(r); };
    onText = [this](const SeenRequest& r, int) { return healthyText(r); };
}

std::vector<SeenRequest> FakeDevice::binary(std::uint16_t command) const {
    std::vector<SeenRequest> out;
    std::copy_if(requests.begin(), requests.end(), std::back_inserter(out),
                 [&](const SeenRequest& r) {
                     return r.kind == SeenRequest::Binary && r.command == command;
                 });
    return out;
}

std::vector<SeenRequest> FakeDevice::texts(const std::string& code) const {
    std::vector<SeenRequest> out;
    std::copy_if(requests.begin(), requests.end(), std::back_inserter(out),
                 [&](const SeenRequest& r) {
                     return r.kind == SeenRequest::Text && splitText(r.text).second == code;
                 });
    return out;
}

std::optional<std::vector<std::uint8_t>> FakeDevice::healthyBinary(const SeenRequest& r) {
    auto be16 = [](std::vector<std::uint8_t>& v, std::uint16_t w) {
        v.push_back(static_cast<std::uint8_t>(w >> 8));
        v.push_back(static_cast<std::uint8_t>(w & 0xFF));
    };
    std::vector<std::uint8_t> p;
    switch (r.command) {
        case 0x0001:
            be16(p, model);
            be16(p, 0x1234);
            be16(p, 0x5678);
            be16(p, deviceId);
            return p;
        case 0x0003: {
            std::string n = name;
            n.resize(12, '\0');
            p.assign(n.begin(), n.end());
            be16(p, 0x0102);
            be16(p, isp);
            return p;
        }
        case 0x6037:
        case 0x605F:
            be16(p, model);
            be16(p, 0x0102);
            be16(p, isp);
            return p;
        case 0x0039:
        case 0x6039:
        case 0x605B:
            memory[r.headAddress()] = {r.payload.begin() + 8, r.payload.end()};
            return p;
        case 0x003A:
        case 0x603A:
        case 0x605C: {
            p.assign(r.payload.begin(),
                     r.payload.begin() + std::min<std::size_t>(8, r.payload.size()));
            auto it = memory.find(r.headAddress());
            if (it != memory.end()) {
                p.insert(p.end(), it->second.begin(), it->second.end());
            }
            return p;
        }
        default:
            return p;  // erase, mode and anything else: accepted
    }
}

std::optional<std::string> FakeDevice::healthyText(const SeenRequest& r) {
    const auto [digits, code] = splitText(r.text);
    if (code == "AS" && r.text.size() > digits.size() + 2 && r.text[digits.size() + 2] == '1') {
        char payload[40];
        std::snprintf(payload, sizeof payload, "%04X%08X%-12.12s%-4.4s", unsigned{model},
                      0x1234ABCDU, name.c_str(), "V1.0");
        return std::string(payload);
    }
    if (code == "YP") {
        const auto address = static_cast<std::uint32_t>(
            std::stoul(r.text.substr(digits.size() + 2, 8), nullptr, 16));
        memory[address] = {};
        const std::string hex = r.text.substr(digits.size() + 10);
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            memory[address].push_back(
                static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        return std::string();
    }
    if (code == "YV") {
        const std::string addressText = r.text.substr(digits.size() + 2, 8);
        std::string payload = addressText;
        auto it = memory.find(static_cast<std::uint32_t>(std::stoul(addressText, nullptr, 16)));
        if (it != memory.end()) {
            for (std::uint8_t b : it->second) {
                payload += hexByte(b);
            }
        }
        return payload;
    }
    return std::string();
}

std::vector<std::uint8_t> FakeDevice::handle(const std::vector<std::uint8_t>& f, std::int64_t now) {
    SeenRequest r;
    r.atMs = now;
    if (f.size() >= 11 && f[0] == 0x05 && f[2] == 0x12 && f[3] == 0x84) {
        r.kind = SeenRequest::Fixed;
        r.payload = f;
    } else if (f.size() >= 11 && f[0] == 0x05) {
        r.kind = SeenRequest::Binary;
        const bool hasPin = (f[3] & 0x02) != 0;
        r.command = word(f, 5);
        r.address = word(f, 7);
        std::size_t p = 9;
        if (hasPin) {
            r.pin = word(f, 9);
            p = 11;
        }
        r.payload.assign(f.begin() + static_cast<std::ptrdiff_t>(p), f.end() - 2);
    } else if (!f.empty() && f[0] == 0x01) {
        r.kind = SeenRequest::Text;
        const auto stx = std::find(f.begin(), f.end(), 0x02);
        r.text.assign(f.begin() + 1, stx);
    } else if (!f.empty() && f[0] == 0x09) {
        r.kind = SeenRequest::Tab;
        r.payload = f;
        r.text.assign(f.begin() + 1, f.end() - 3);
    } else if (!f.empty() && f[0] == 0xAA) {
        r.kind = SeenRequest::AA;
        r.payload = f;
    }

    std::vector<std::uint8_t> reply;
    if (r.kind == SeenRequest::Binary) {
        const int call = calls_["b" + std::to_string(r.command)]++;
        if (auto payload = onBinary(r, call)) {
            r.answered = true;
            reply = binaryReply(r.command, r.address, *payload);
        }
    } else if (r.kind == SeenRequest::Text) {
        const auto [digits, code] = splitText(r.text);
        const int call = calls_["t" + code]++;
        if (auto payload = onText(r, call)) {
            r.answered = true;
            reply = textReply(digits + code, *payload);
        }
    }
    requests.push_back(std::move(r));
    return reply;
}

std::unique_ptr<Transport> FakeTransportFactory::openSerial(const std::string&, const std::string&,
                                                            TraceSink&) {
    if (device_.serialOpenFails) {
        return nullptr;
    }
    return open(true);
}

std::unique_ptr<Transport> FakeTransportFactory::openTcp(const std::string&, std::uint16_t,
                                                         std::int64_t connectTimeoutMs) {
    if (!device_.tcpConnects) {
        clock_.advance(connectTimeoutMs);
    }
    return open(device_.tcpConnects);
}

// A link to the device: every frame written is its request, answered at
// once, unless the device closes the link at that request.
std::unique_ptr<Transport> FakeTransportFactory::open(bool connected) {
    ++device_.opens;
    auto transport = std::make_unique<FakeTransport>(clock_, connected);
    transport->lossText = "connection closed by the device";
    transport->closeCount = &device_.closes;
    transport->onWrite = [this](FakeTransport& link, const std::vector<std::uint8_t>& frame) {
        auto reply = device_.handle(frame, clock_.nowMs());
        const std::size_t closeAt = device_.closeLinkAtRequest;
        if (closeAt > 0 && device_.requests.size() >= closeAt) {
            link.isConnected = false;
            return;
        }
        link.deliver(std::move(reply));
    };
    return transport;
}

}  // namespace flashmere::testing
