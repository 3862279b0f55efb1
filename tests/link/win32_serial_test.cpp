#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/serial_backend.h"
#include "link/serial_notes.h"
#include "link/win32_serial_transport.h"

namespace flashmere {
namespace {

TEST(Win32Serial, PortNamesBecomeDevicePaths) {
    EXPECT_EQ(win32PortOpenPath("COM3"), R"(\\.\COM3)");
    EXPECT_EQ(win32PortOpenPath("com3"), R"(\\.\COM3)");
    EXPECT_EQ(win32PortOpenPath("Com12"), R"(\\.\COM12)");
    EXPECT_EQ(win32PortOpenPath(R"(\\.\COM3)"), R"(\\.\COM3)");
    EXPECT_EQ(win32PortOpenPath(R"(\\.\com3)"), R"(\\.\COM3)");
    // Virtual port drivers name their ports as they like.
    EXPECT_EQ(win32PortOpenPath("CNCA0"), R"(\\.\CNCA0)");
    EXPECT_EQ(win32PortOpenPath("company"), R"(\\.\company)");
    // Nothing that could name a file or another device's path.
    for (const std::string& bad :
         std::vector<std::string>{"", R"(\\.\)", "COM3:", R"(C:\Windows\win.ini)", "../COM3",
                                  "COM 3", "/dev/ttyS0", R"(\\server\share)", R"(\\.\COM3\x)",
                                  std::string("COM3\0x", 6), std::string(65, 'A')}) {
        EXPECT_EQ(win32PortOpenPath(bad), std::nullopt) << bad;
    }
}

TEST(Win32Serial, WithoutPortsTheWindowOffersCom1ToCom16) {
    const std::vector<std::string> names = fallbackSerialPortNames();
    ASSERT_EQ(names.size(), 16U);
    EXPECT_EQ(names.front(), "COM1");
    EXPECT_EQ(names[9], "COM10");
    EXPECT_EQ(names.back(), "COM16");
}

DCB dcbFrom(const std::string& modeString) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1200;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    applySerialMode(dcb, parseSerialMode(modeString).value());
    return dcb;
}

TEST(Win32Serial, ModeStringsSetTheControlBlock) {
    DCB dcb = dcbFrom("19200,e,8,1");
    EXPECT_EQ(dcb.BaudRate, 19200U);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // Binary, and no flow control whatever the port had.
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    dcb = dcbFrom("baud=921600 parity=n data=8 stop=2");
    EXPECT_EQ(dcb.BaudRate, 921600U);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_FALSE(dcb.fParity);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    dcb = dcbFrom("9600,m,5,1.5");
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcbFrom("96,s").Parity, SPACEPARITY);

    // What the string leaves out keeps the port's own value.
    dcb = dcbFrom("parity=e");
    EXPECT_EQ(dcb.BaudRate, 1200U);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
}

TEST(Win32Serial, PortsThatCannotOpenSayWhy) {
    NullTraceSink trace;
    std::string why;
    EXPECT_EQ(openSerialPort("COM250", "19200,e,8,1", trace, &why), nullptr);
    EXPECT_EQ(why, serialMissingNote("COM250"));
    EXPECT_EQ(openSerialPort(R"(C:\windows\win.ini)", "19200,e,8,1", trace, &why), nullptr);
    EXPECT_EQ(why, serialMissingNote(R"(C:\windows\win.ini)"));
    // A character device, but no port.
    EXPECT_EQ(openSerialPort("NUL", "19200,e,8,1", trace, &why), nullptr);
    EXPECT_EQ(why, "NUL is not a serial port");
    EXPECT_EQ(openSerialPort("", "19200,e,8,1", trace, &why), nullptr);
    EXPECT_EQ(why, "no port name given");
}

TEST(Win32Serial, SystemErrorTextsAreOneLineOfUtf8) {
    const std::string text = systemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), '.');
    EXPECT_EQ(systemErrorText(0xDEADBEEF), "system error 3735928559");
    EXPECT_EQ(utf8FromWide(L"\u00e9\u4e2d"), "\xc3\xa9\xe4\xb8\xad");
}

}  // namespace
}  // namespace flashmere
