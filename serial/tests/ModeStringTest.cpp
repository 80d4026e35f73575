#include <gtest/gtest.h>

#include "ModeString.h"

TEST(ModeString, DeviceNameAndSettingsText) {
    EXPECT_EQ(DeviceNameFromMode("/dev/pts/7:9600,n,8,1"), "/dev/pts/7");
    EXPECT_EQ(DeviceNameFromMode(":19200,N,8,1"), "");
    EXPECT_EQ(SettingsFromMode("COM3:19200,N,8,1"), "COM3:19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(":19200,N,8,1"), "19200,N,8,1");
    EXPECT_EQ(SettingsFromMode(" \t:,"), "");
}

TEST(ModeString, ParsesTheFormsInUse) {
    for (const auto& [szMode, nBaud] : {std::pair{"COM3:19200,N,8,1", 19200u},
                                        {"COM12:9600,N,8,1", 9600u},
                                        {"COM1:115200,N,8,1", 115200u},
                                        {"COM16:9600,n,8,1", 9600u},
                                        {"19200,N,8,1", 19200u}}) {
        LineSettings ls;
        ASSERT_TRUE(ParseLineSettings(SettingsFromMode(szMode), ls)) << szMode;
        EXPECT_EQ(ls.nBaud, nBaud);
        EXPECT_EQ(ls.cParity, 'N');
        EXPECT_EQ(ls.nDataBits, 8);
        EXPECT_EQ(ls.nStopBits, 1);
    }
    LineSettings ls;
    ASSERT_TRUE(ParseLineSettings("/dev/ttyUSB0:2400,e,7,2", ls));
    EXPECT_EQ(ls.cParity, 'E');
    EXPECT_EQ(ls.nDataBits, 7);
    EXPECT_EQ(ls.nStopBits, 2);
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
