#include <gtest/gtest.h>

#include <tuple>

#include "ModeString.h"

TEST(ModeString, DeviceNameAndSettingsText) {
    EXPECT_EQ(DeviceNameFromMode("/dev/pts/7:9600,n,8,1"), "/dev/pts/7");
    EXPECT_EQ(DeviceNameFromMode(":19200,N,8,1"), "");
    EXPECT_EQ(SettingsFromMode("COM3:19200,N,8,1"), "COM3:19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(":19200,N,8,1"), "19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(" \t:,"), "");
}

TEST(ModeString, ParsesTheFormsInUse) {
    for (const auto& [szMode, nBaud, cParity, nData, nStop] :
         {std::tuple{"COM3:19200,N,8,1", 19200u, 'N', 8, 1},
          {"COM12:9600,N,8,1", 9600u, 'N', 8, 1},
          {"COM1:115200,N,8,1", 115200u, 'N', 8, 1},
          {"COM16:9600,n,8,1", 9600u, 'N', 8, 1},
          {"19200,N,8,1", 19200u, 'N', 8, 1},
          {"/dev/ttyUSB0:2400,e,7,2", 2400u, 'E', 7, 2}}) {
        LineSettings ls;
        ASSERT_TRUE(ParseLineSettings(SettingsFromMode(szMode), ls)) << szMode;
        EXPECT_EQ(std::tie(ls.nBaud, ls.cParity, ls.nDataBits, ls.nStopBits),
                  std::tie(nBaud, cParity, nData, nStop));
    }
}

TEST(ModeString, RejectsWhatItCannotRead) {
    for (const char* sz :
         {"", "COM3", "COM3:", "COM3:19200,N,8", "COM3:19200,N,8,1,", "COM3:19200,N,8,1x",
          "COM3:12345,N,8,1", "COM3:19200,X,8,1", "COM3:19200,N,9,1", "COM3:19200,N,8,3",
          "COM3:19200,,8,1", "COM3:-9600,N,8,1", "COM3: 9600,N,8,1", "COM3:99999999999,N,8,1"}) {
        LineSettings ls;
        ls.nBaud = 4242;
        EXPECT_FALSE(ParseLineSettings(sz, ls)) << sz;
        EXPECT_EQ(ls.nBaud, 4242u) << "settings changed by a rejected text: " << sz;
    }
}
