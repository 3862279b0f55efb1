#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/serial_mode.h"

namespace flashmere {
namespace {

using P = SerialParity;
using S = SerialStopBits;

SerialMode mode(std::optional<std::uint32_t> baud, std::optional<P> parity = {},
                std::optional<std::uint8_t> data = {}, std::optional<S> stop = {}) {
    return SerialMode{baud, parity, data, stop};
}

TEST(SerialMode, AcceptedForms) {
    struct Case {
        const char* text;
        SerialMode expected;
    };
    const std::vector<Case> cases = {
        {"19200,e,8,1", mode(19200, P::Even, 8, S::One)},
        {"4800,n,8,1", mode(4800, P::None, 8, S::One)},
        {"921600,E,8,1", mode(921600, P::Even, 8, S::One)},
        {"9600,O,7,2", mode(9600, P::Odd, 7, S::Two)},
        {"9600,m,6,1", mode(9600, P::Mark, 6, S::One)},
        {"9600,S,5,1.5", mode(9600, P::Space, 5, S::OneAndHalf)},
        {"19200", mode(19200)},
        {"19200,e", mode(19200, P::Even)},
        {"19200,e,7", mode(19200, P::Even, 7)},
        {" 19200 , e , 8 , 1 ", mode(19200, P::Even, 8, S::One)},
        {"96,n,8,1", mode(9600, P::None, 8, S::One)},
        {"19,e,8,1", mode(19200, P::Even, 8, S::One)},
        {"baud=19200 parity=e data=8 stop=1", mode(19200, P::Even, 8, S::One)},
        {"STOP=2 Data=7 PARITY=O BAUD=57600", mode(57600, P::Odd, 7, S::Two)},
        {"baud=115200", mode(115200)},
        {"parity=n", mode({}, P::None)},
        {"data=5  stop=1.5", mode({}, {}, 5, S::OneAndHalf)},
        {"baud=9600 to=on xon=off odsr=OFF octs=on dtr=hs rts=tg idsr=on", mode(9600)},
        {"dtr=on rts=off", mode({})},
        {"rts=hs dtr=off", mode({})},
    };
    for (const auto& c : cases) {
        const auto parsed = parseSerialMode(c.text);
        ASSERT_TRUE(parsed.has_value()) << '"' << c.text << '"';
        EXPECT_EQ(*parsed, c.expected) << '"' << c.text << '"';
    }
}

TEST(SerialMode, RejectedForms) {
    const std::vector<std::string> cases = {
        "",
        "   ",
        "garbage",
        "0,e,8,1",
        "0",
        "99999999999,e,8,1",
        "4000001",
        "-9600",
        "9600.5",
        "19200,x,8,1",
        "19200,ee,8,1",
        "19200,e,9,1",
        "19200,e,4,1",
        "19200,e,8,3",
        "19200,e,8,0",
        "19200,e,8,1,x",
        "19200,,8,1",
        ",e,8,1",
        "19200,e,8,",
        "19200;e;8;1",
        "5,n,8,1",
        "19200,e,5,2",
        "19200,e,8,1.5",
        "baud=0",
        "baud=19200 parity=x",
        "baud=19200 data=9",
        "baud=19200 stop=3",
        "baud=",
        "=19200",
        "speed=19200",
        "baud=19200 baud=9600",
        "baud=19200 to=maybe",
        "dtr=tg",
        "rts=yes",
        "baud=19200 garbage",
        "baud = 19200",
        std::string("19200\0,e,8,1", 12),
    };
    for (const auto& text : cases) {
        EXPECT_FALSE(parseSerialMode(text).has_value()) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace flashmere
