#include <gtest/gtest.h>

#include <tuple>

#include "ModeString.h"
#include "PortIo.h"

// Each form in use, down to the frame the line is given: size, parity and stop bits.
TEST(ModeString, ParsesTheFormsInUseSplitsOffTheDeviceAndFramesTheLine) {
    for (const auto& [szMode, szDevice, nBaud, cParity, nData, nStop, nFrame] :
         {std::tuple{"COM3:19200,N,8,1", "COM3", 19200u, 'N', 8, 1, tcflag_t(CS8)},
          {"19200,N,8,1", "", 19200u, 'N', 8, 1, CS8},
          {"/dev/pts/7:2400,e,7,2", "/dev/pts/7", 2400u, 'E', 7, 2, CS7 | PARENB | CSTOPB},
          {"COM1:1200,O,6,2", "COM1", 1200u, 'O', 6, 2, CS6 | PARENB | PARODD | CSTOPB},
          {"COM1:300,N,5,1", "COM1", 300u, 'N', 5, 1, CS5}}) {
        EXPECT_EQ(DeviceNameFromMode(szMode), szDevice);
        LineSettings ls;
        ASSERT_TRUE(ParseLineSettings(SettingsFromMode(szMode), ls)) << szMode;
        EXPECT_EQ(std::tie(ls.nBaud, ls.cParity, ls.nDataBits, ls.nStopBits),
                  std::tie(nBaud, cParity, nData, nStop));
        termios tio{};
        tio.c_cflag = CRTSCTS | CS8 | PARENB | PARODD | CSTOPB;  // as another program left it
        portio::MakeLine(tio, ls);
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), nFrame) << szMode;
    }
    EXPECT_EQ(SettingsFromMode(" \t:19200,N,8,1") + SettingsFromMode(" \t:,"), "19200,N,8,1");
}

TEST(ModeString, RejectsWhatItCannotRead) {
    for (const char* sz :
         {"", "COM3", "COM3:", "COM3:19200,N,8", "COM3:19200,N,8,1,", "COM3:19200,N,4,1",
          "COM3:12345,N,8,1", "COM3:19200,X,8,1", "COM3:19200,N,9,1", "COM3:19200,N,8,3",
          "COM3:19200,,8,1", "COM3:-9600,N,8,1", "COM3: 9600,N,8,1", "COM3:99999999999,N,8,1"}) {
        LineSettings ls;
        ls.nBaud = 4242;
        EXPECT_FALSE(ParseLineSettings(sz, ls)) << sz;
        EXPECT_EQ(ls.nBaud, 4242u) << "settings changed by a rejected text: " << sz;
    }
}
