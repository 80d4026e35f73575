#include <gtest/gtest.h>

#include <tuple>

#include "ModeString.h"

TEST(ModeString, ParsesTheFormsInUseAndSplitsOffTheDevice) {
    for (const auto& [szMode, szDevice, nBaud, cParity, nData, nStop] :
         {std::tuple{"COM3:19200,N,8,1", "COM3", 19200u, 'N', 8, 1},
          {"COM16:115200,n,8,1", "COM16", 115200u, 'N', 8, 1},
          {"19200,N,8,1", "", 19200u, 'N', 8, 1},
          {":9600,o,8,1", "", 9600u, 'O', 8, 1},
          {"/dev/pts/7:2400,e,7,2", "/dev/pts/7", 2400u, 'E', 7, 2}}) {
        EXPECT_EQ(DeviceNameFromMode(szMode), szDevice);
        LineSettings ls;
        ASSERT_TRUE(ParseLineSettings(SettingsFromMode(szMode), ls)) << szMode;
        EXPECT_EQ(std::tie(ls.nBaud, ls.cParity, ls.nDataBits, ls.nStopBits),
                  std::tie(nBaud, cParity, nData, nStop));
    }
    EXPECT_EQ(SettingsFromMode("COM3:19200,N,8,1"), "COM3:19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(":19200,N,8,1"), "19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(" \t:,"), "");
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
