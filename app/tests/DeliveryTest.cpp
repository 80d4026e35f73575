// Byte delivery from the receive thread to the window thread, and the port pins.
#include "AppTestSupport.h"
#include "FlashApp.h"
#include "PortPins.h"

// The receive thread waits until the window's own engine has each byte, or gives up when the
// channel closes while the window thread is busy: the event still queued then delivers nothing.
TEST_F(AppTest, ReceivedBytesReachOnlyTheirWindowsEngineWhileTheChannelIsOpen) {
    auto pDlg = StartWindow();
    auto pOther = StartWindow();
    std::atomic<bool> bRun{true};
    bool bSent = false;
    auto Send = [&](uint32_t n) { return pDlg->SendByte(g_nWmRecSerial, n, bRun); };
    std::thread sender([&] { bSent = Send(0xFFFFFFB0u) && Send(0x3Fu); });
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetReceived().size() == 2; }, 5000));
    sender.join();
    EXPECT_TRUE(bSent);
    EXPECT_EQ(pDlg->GetEngine().GetReceived(), "\xB0?");
    EXPECT_EQ(pOther->GetEngine().GetReceived(), "");

    std::thread late([&] { bSent = Send(0x42u); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bRun = false;
    late.join();
    EXPECT_FALSE(bSent);
    QCoreApplication::sendPostedEvents(pDlg.get());
    EXPECT_EQ(pDlg->GetEngine().GetReceived(), "\xB0?");
}

// The settings file stays as it was, or absent.
TEST_F(AppTest, PortPinsAreReadWithoutTouchingTheSettings) {
    EXPECT_EQ(LoadPortPins("Config.xml"), 0);
    EXPECT_FALSE(std::filesystem::exists("Config.xml"));

    const std::string strConfig = "<profile>\n <Ports><COM3>/dev/pts/77</COM3></Ports>\n</profile>";
    WriteFile("Config.xml", strConfig);
    EXPECT_EQ(LoadPortPins("Config.xml"), 1);
    EXPECT_EQ(CComPortMap::Instance().DeviceFor(3), "/dev/pts/77");
    EXPECT_EQ(ReadFile("Config.xml"), strConfig);
}
