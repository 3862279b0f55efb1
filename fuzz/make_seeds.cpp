// Writes the seed corpora of the harnesses into <dir>/<harness>/: golden
// replies, requests, firmware files, settings stores and typed texts, each in
// the input layout its harness reads. Usage: fuzz_make_seeds <dir>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware_header.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/send_only_frames.h"
#include "link/text_frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

fs::path gRoot;

Bytes ascii(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void seed(const char* harness, const std::string& name, const Bytes& bytes) {
    const fs::path dir = gRoot / harness;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// 06, length, control word, code word, fields and payload, CRC-16/KERMIT.
Bytes binaryReply(std::uint16_t control, std::uint16_t code, const Bytes& body,
                  bool goodCrc = true) {
    Bytes f = {0x06, 0, 0};
    put16(f, control);
    put16(f, code);
    f.insert(f.end(), body.begin(), body.end());
    const std::size_t length = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(length >> 8);
    f[2] = static_cast<std::uint8_t>(length & 0xFF);
    std::uint16_t crc = flashmere::crc16Kermit(std::span(f).subspan(1));
    crc = static_cast<std::uint16_t>(goodCrc ? crc : crc ^ 0x0101);
    put16(f, crc);
    return f;
}

// ETX, body, EOT, CRC-16/ARC as four hex digits, CR.
Bytes textReply(std::string_view body) {
    Bytes f = cat({{flashmere::kEtx}, ascii(body), {flashmere::kEot}});
    const std::uint16_t crc = flashmere::crc16Arc(f);
    const std::string hex = flashmere::hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                            flashmere::hexByte(static_cast<std::uint8_t>(crc & 0xFF));
    f.insert(f.end(), hex.begin(), hex.end());
    f.push_back(flashmere::kCr);
    return f;
}

std::string hexText(const Bytes& bytes) {
    std::string s;
    for (const auto b : bytes) {
        s += flashmere::hexByte(b);
    }
    return s;
}

Bytes pattern(std::size_t n, std::uint8_t start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    }
    return b;
}

// The flags and split seed the link harnesses read first.
constexpr std::array<std::array<std::uint8_t, 2>, 3> kLineShapes = {{
    {0x00, 0x01},  // serial, one byte at a time
    {0x6B, 0x2A},  // NET, PIN 1234, pieces up to 16, gaps
    {0x3C, 0x07},  // serial, PIN "", pieces up to 10240
}};

void linkSeeds(const char* harness, const std::string& name, const Bytes& line,
               std::uint8_t extraFlags = 0) {
    for (std::size_t i = 0; i < kLineShapes.size(); ++i) {
        const auto& s = kLineShapes[i];
        seed(harness, name + "-" + std::to_string(i),
             cat({{static_cast<std::uint8_t>(s[0] | extraFlags), s[1]}, line}));
    }
}

void binaryReplySeeds() {
    const char* h = "fuzz_binary_reply";
    linkSeeds(h, "identify",
              binaryReply(0x8801, 0x0001, {0x84, 0x01, 0x12, 0x34, 0x56, 0x78, 0, 1}));
    Bytes name = ascii("SIMDEVICE");
    name.resize(12, 0);
    linkSeeds(h, "name-version",
              binaryReply(0x8801, 0x0003, cat({name, {0x01, 0x00, 0x00, 0x01}})));
    linkSeeds(h, "read-page",
              binaryReply(0x8801, 0x603A, cat({{0, 0, 0, 0, 0, 0, 0x01, 0x00}, pattern(256, 3)})));
    linkSeeds(
        h, "noise-then-reply",
        cat({{0x00, 0xFF, 0x15, 0x55}, binaryReply(0x8801, 0x0003, {0x00, 0x07, 'A', 'B', 'C'})}));
    linkSeeds(h, "back-to-back",
              cat({binaryReply(0x8801, 0x0001, {0x00, 0x01, 0x11}),
                   binaryReply(0x8801, 0x0002, {0x00, 0x01, 0x22})}));
    linkSeeds(h, "bad-crc", binaryReply(0x8801, 0x0039, {0x00, 0x05, 1, 2, 3, 4}, false));
    linkSeeds(h, "no-crc-flag", binaryReply(0x8800, 0x0001, {0x00, 0x01, 0x42}, false));
    linkSeeds(h, "address-and-value",
              binaryReply(0x8C01, 0x0002, {0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x55, 0x66}));
    linkSeeds(h, "length-below-eight", {0x06, 0x00, 0x05, 0x88, 0x00, 0x00, 0x01, 0xEE});
    linkSeeds(h, "longer-than-buffer", binaryReply(0x8801, 0x003A, Bytes(1600, 0x06)));
    linkSeeds(h, "silence", {});
}

void textReplySeeds() {
    const char* h = "fuzz_text_reply";
    linkSeeds(h, "as-2-digits", {0x03, 0x30, 0x31, 0x41, 0x53, 0x04, 0x45, 0x43, 0x32, 0x33, 0x0D});
    linkSeeds(h, "as-4-digits",
              {0x03, 0x30, 0x30, 0x30, 0x31, 0x41, 0x53, 0x04, 0x33, 0x39, 0x35, 0x36, 0x0D});
    linkSeeds(h, "noise-payload", cat({ascii("xx\r"), textReply("07RDv1.2\x03ok")}));
    linkSeeds(h, "ready", textReply("01ASready"));
    std::string as1 = "01AS880112345678SIMDEVICE";
    as1.append(3, '\0');
    linkSeeds(h, "as1", textReply(as1 + "0100"));
    linkSeeds(h, "yv-page", textReply("0001YV00000100" + hexText(pattern(256, 9))));
    linkSeeds(h, "yr-ok", textReply("01YROK"));
    linkSeeds(h, "zx", textReply("12Zx"));
    Bytes wrong = textReply("01ASdata");
    wrong[wrong.size() - 2] ^= 0x01;
    linkSeeds(h, "wrong-crc", wrong);
    linkSeeds(h, "no-eot", cat({{flashmere::kEtx}, ascii("01AS\r")}));
    linkSeeds(h, "cr-in-payload",
              cat({{flashmere::kEtx}, ascii("01ASa\rb"), {flashmere::kEot}, ascii("0000\r")}));
    linkSeeds(h, "short", textReply("01"));
    linkSeeds(h, "overlong", textReply("01RD" + std::string(1700, 'z')));
    // Bit 7 repairs the CRC: the decode is reached from any body.
    linkSeeds(h, "repair",
              cat({{flashmere::kEtx}, ascii("0001YVxyz"), {flashmere::kEot}, ascii("????\r")}),
              0x80);
}

Bytes firmwareFile(std::string_view magic, std::uint16_t model, std::string_view text,
                   std::size_t bodySize) {
    flashmere::HeaderBytes header{};
    std::copy_n(magic.begin(), std::min<std::size_t>(magic.size(), 8), header.begin());
    header[8] = static_cast<std::uint8_t>(model >> 8);
    header[9] = static_cast<std::uint8_t>(model & 0xFF);
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 16), header.begin() + 16);
    flashmere::decodeHeader(header);  // the same XOR stores it
    return cat({Bytes(header.begin(), header.end()), pattern(bodySize, 1)});
}

void tvbSeeds() {
    const char* h = "fuzz_tvb_file";
    seed(h, "fw1-8401-300", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2", 300));
    seed(h, "leading-blanks", firmwareFile("TOLVA-V7", 0x8401, "  ABCDEFGHIJV1.2", 256));
    seed(h, "short-text", firmwareFile("TOLVA-V7", 0x8801, "SHORT", 1000));
    seed(h, "sixteen-chars", firmwareFile("TOLVA-V7", 0x8801, "ABCDEFGHIJKLMNOP", 512));
    seed(h, "pages-128", firmwareFile("TOLVA-V7", 0x8400, "SMALL PAGES V9", 700));
    seed(h, "limit-248", firmwareFile("TOLVA-V7", 0x8081, "LIMIT248    V1.0", 4096));
    // The catch-all layout holds 128 pages of 256 bytes: this body is longer.
    seed(h, "over-limit", firmwareFile("TOLVA-V7", 0x1234, "BIG         V2.0", 128 * 256 + 300));
    seed(h, "header-only", firmwareFile("TOLVA-V7", 0x8461, "HDR", 0));
    seed(h, "wrong-magic", firmwareFile("TOLVA-V6", 0x8401, "FW1         V1.2", 64));
    seed(h, "short-file", Bytes(20, 0x5A));
    seed(h, "empty", {});
}

void serialModeSeeds() {
    const char* h = "fuzz_serial_mode";
    const char* texts[] = {
        "19200,e,8,1",
        "9600,n,8,1",
        "115200,N,8,2",
        "96,n,8,1",
        "19,e,7,1",
        "4000000",
        " 19200 , E , 8 , 1.5 ",
        "19200,e,5,1.5",
        "19200,e,5,2",
        "baud=19200 parity=e data=8 stop=1",
        "BAUD=96 PARITY=N DATA=8 STOP=1 to=on xon=off odsr=off octs=off dtr=hs rts=tg idsr=off",
        "parity=s",
        "baud=110 baud=110",
        "19200,,8,1",
        "1,2,3,4,5",
        "=",
    };
    int i = 0;
    for (const char* t : texts) {
        seed(h, "mode-" + std::to_string(i++), ascii(t));
    }
}

void settingsSeeds() {
    const char* h = "fuzz_settings_store";
    const char* stores[] = {
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": 1, "ComBaudRate": "9600,n,8,1", "ComPortName": "ttyUSB0", "NetIP": "10.0.0.7", "NetPort": "5003", "LanguageFlag": "ChineseGB"}})",
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": 7}})",
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": "1", "ComPortName": "ttyUSB3"}})",
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": 1.5, "NetIP": "10.0.0.1"}})",
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": 1, "NetIP": 10, "NetPort": "7000"}})",
        R"({"\\Software\\TOLVA\\Flashmere": {"LanguageFlag": "ChineseBIG5", "ComPortName": "\u00e9\ud800\u0000x"}}, "other": [1, 2, {"a": null}])",
        R"({"\\Software\\TOLVA\\Flashmere": 5})",
        R"({"\\Software\\TOLVA\\Flashmere": {"TYPE": 1e300, "NetPort": "-1"}})",
        "{not json",
        "[1,2,3]",
        "",
    };
    int i = 0;
    for (const char* s : stores) {
        seed(h, "store-" + std::to_string(i++), ascii(s));
    }
}

void idTextSeeds() {
    const char* h = "fuzz_id_text";
    const char* texts[] = {"1",   "9999", "10000", "-5",         "$1F",         "0x10",
                           "x7",  "  42", "42 ",   "2147483648", "-2147483648", "+0X7fffffff",
                           "abc", "",     "$",     "0x",         "\xef\xbc\x91"};
    int i = 0;
    for (const char* t : texts) {
        seed(h, "id-" + std::to_string(i++), ascii(t));
    }
}

// Operation bytes of the device harness (see fuzz_sim_request.cpp).
Bytes simConfig(std::uint8_t modelIndex, std::uint8_t id = 1, std::uint8_t faults = 0,
                std::uint8_t rules = 0) {
    return {modelIndex, id, faults, rules};
}
const Bytes kWait = {0x06, 0x01, 0x00};  // 256 ms, then collect the output

Bytes simBinary(std::uint8_t op, std::uint8_t commandIndex, const Bytes& rest) {
    return cat({{op, 0x80, commandIndex}, rest});
}

void simSeeds() {
    const char* h = "fuzz_sim_request";
    // A binary device: identify, name, loader mode, erase, program, read, start.
    seed(h, "binary-session",
         cat({simConfig(0),
              simBinary(0x01, 0, {0x00, 0x00}),
              kWait,
              simBinary(0x01, 2, {0x00, 0x00}),
              kWait,
              {0x05},
              simBinary(0x01, 9, {0x03}),
              kWait,
              simBinary(0x01, 12, {0x01, 0, 0, 0}),
              kWait,
              simBinary(0x21, 10, cat({{0x01, 0, 0, 0, 0x10}, pattern(16, 5)})),
              kWait,
              simBinary(0x01, 11, {0x01, 0, 0, 0}),
              kWait,
              simBinary(0x21, 9, {0x03}),
              {0x06, 0x10, 0x00},
              simBinary(0x01, 0, {0x00, 0x00}),
              kWait}));
    // The same with a PIN on the device and on the requests, on a paced line
    // with split replies, noise and stale bytes.
    seed(h, "binary-pin-line",
         cat({simConfig(0x50, 1, 0x07), simBinary(0x19, 0, {0x00, 0x00}), kWait,
              simBinary(0x59, 3, {0x00, 0x00, 0x07}), kWait, simBinary(0x01, 3, {0x00, 0x00}),
              kWait}));
    // A text device: AS1, a page, its read-back and the start with its check.
    Bytes text = cat({simConfig(9),
                      {0x22, 0x80, 0x01},
                      kWait,
                      {0x02, 0x80, 0x02, 0x00, 0x00, 0x10},
                      pattern(16, 7),
                      kWait,
                      {0x02, 0x80, 0x03, 0x00, 0x00},
                      kWait,
                      {0x02, 0x80, 0x04, 0, 0, 0x10, 0, 0, 0, 0x7F, 0xFF},
                      kWait,
                      {0x02, 0xC0, 0x05},
                      kWait});
    seed(h, "text-session", text);
    seed(h, "text-four-digit-id", cat({simConfig(10, 200), {0x02, 0xC0, 0x01}, kWait}));
    // Fault rules and a disconnect.
    seed(h, "faults",
         cat({simConfig(0x20, 1, 0x88, 0xFF), simBinary(0x01, 0, {0x00, 0x00}), kWait,
              simBinary(0x01, 0, {0x00, 0x00}), kWait, simBinary(0x01, 2, {0x00, 0x00}), kWait,
              simBinary(0x01, 2, {0x00, 0x00}), kWait}));
    // Wake-up frames, the reset frame, link events and raw golden requests.
    seed(h, "wakeups",
         cat({simConfig(4),
              {0x03, 0x05},
              ascii("HELLO"),
              {0x04, 0x03, 1, 2, 3},
              {0x05},
              {0x07, 0x00},
              {0x07, 0x01},
              {0x07, 0x02, 0x10},
              kWait}));
    const Bytes request = flashmere::buildBinaryRequest(1, 0x0001, {}, std::nullopt);
    const Bytes textRequest = flashmere::buildTextRequest("01AS1");
    seed(h, "raw-requests",
         cat({simConfig(12),
              {0x00, static_cast<std::uint8_t>(request.size())},
              request,
              kWait,
              {0x00, 0x03, 0x55, 0x05, 0x00},
              {0x00, 0x04},
              Bytes(request.begin() + 2, request.begin() + 6),
              {0x00, static_cast<std::uint8_t>(textRequest.size())},
              textRequest,
              kWait}));
    // Split delivery: the identify request cut after its fifth byte.
    seed(h, "split", cat({simConfig(0), simBinary(0xC1, 0, {0x00, 0x00, 0x05}), kWait}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    binaryReplySeeds();
    textReplySeeds();
    tvbSeeds();
    serialModeSeeds();
    settingsSeeds();
    idTextSeeds();
    simSeeds();
    return 0;
}
