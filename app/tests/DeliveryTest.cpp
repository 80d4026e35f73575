// Byte delivery from the receive thread to the window thread, and the port pins.
#include <QCoreApplication>
#include <QFile>
#include <QObject>

#include <thread>

#include "AppTestSupport.h"
#include "ByteHandoff.h"
#include "FlashApp.h"
#include "PortMap.h"
#include "PortPins.h"

namespace {

class CByteSink : public QObject {
public:
    std::vector<uint32_t> m_aBytes;

protected:
    bool event(QEvent* pEvent) override {
        if (pEvent->type() != g_nWmRecSerial) return QObject::event(pEvent);
        static_cast<CRecSerialEvent*>(pEvent)->Handle(
            [this](uint32_t n) { m_aBytes.push_back(n); });
        return true;
    }
};

}  // namespace

TEST(ByteHandoff, SenderWaitsForTheHandlerOrGivesUpWhenTheChannelCloses) {
    CByteSink sink;
    std::atomic<bool> bRun{true};
    std::vector<bool> aResults;
    std::thread sender([&] {
        for (uint32_t n : {0x41u, 0xFFFFFFB0u})
            aResults.push_back(SendByteEvent(&sink, g_nWmRecSerial, n, bRun));
    });
    ASSERT_TRUE(WaitUntil([&] { return sink.m_aBytes.size() == 2; }, 5000));
    sender.join();
    EXPECT_EQ(aResults, (std::vector<bool>{true, true}));
    EXPECT_EQ(sink.m_aBytes, (std::vector<uint32_t>{0x41u, 0xFFFFFFB0u}));

    // The window thread is busy elsewhere while the channel closes: the byte is dropped,
    // and the event that is still queued must not deliver it later.
    bool bResult = true;
    std::thread late([&] { bResult = SendByteEvent(&sink, g_nWmRecSerial, 0x42u, bRun); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bRun = false;
    late.join();
    EXPECT_FALSE(bResult);
    QCoreApplication::sendPostedEvents(&sink);
    EXPECT_EQ(sink.m_aBytes.size(), 2u);
}

TEST_F(AppTest, WindowHandsTheLowEightBitsToTheEngine) {
    auto pDlg = StartWindow();
    std::atomic<bool> bRun{true};
    std::thread sender([&] {
        pDlg->SendByte(static_cast<uint32_t>(g_nWmRecSerial), 0xFFFFFFB0u, bRun);
        pDlg->SendByte(static_cast<uint32_t>(g_nWmRecSerial), 0x3Fu, bRun);
    });
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetReceived().size() == 2; }, 5000));
    sender.join();
    EXPECT_EQ(pDlg->GetEngine().GetReceived(), "\xB0?");
}

TEST_F(AppTest, PortPinsAreReadWithoutTouchingTheSettings) {
    EXPECT_EQ(LoadPortPins("Config.xml"), 0);
    EXPECT_FALSE(QFile::exists("Config.xml"));

    const std::string strConfig =
        "<profile><Main><COM-Port>3</COM-Port></Main><Ports><COM3>/dev/pts/77</COM3>"
        "<COM17>/dev/pts/78</COM17><COMX>/dev/pts/79</COMX><Enumerate>0</Enumerate></Ports></"
        "profile>";
    WriteFile("Config.xml", strConfig);
    CComPortMap::Instance().SetEnumerate(true);
    EXPECT_EQ(LoadPortPins("Config.xml"), 1);
    EXPECT_EQ(CComPortMap::Instance().DeviceFor(3), "/dev/pts/77");
    EXPECT_EQ(CComPortMap::Instance().DeviceFor(1), "");  // enumeration is off
    EXPECT_EQ(ReadFile("Config.xml"), strConfig);
}
