#include <filesystem>

#include "PortInfo.h"
#include "PortMap.h"
#include "TestKit.h"

namespace fs = std::filesystem;

namespace {

// A fake /dev, /sys/class/tty and lock directory; no real device is touched. ttyS1 is an
// unknown UART with nothing there, ttyS2 has no type, ttyS3 is the console, tty5 a virtual one.
class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sz : {"dev/serial/by-id", "dev/serial/by-path", "sys/console", "lock"})
            fs::create_directories(m_dir.Path(sz));
        for (const char* sz : {"ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyACM0", "rfcomm0", "ttyS0",
                               "ttyS1", "ttyS2", "ttyS3", "ttyAMA0", "tty5"})
            AddTty(sz, sz != std::string("tty5"));
        for (const auto& [szFile, szText] : {std::pair{"ttyS0/type", "4\n"},
                                             {"ttyS3/type", "4\n"},
                                             {"ttyS1/type", "0\n"},
                                             {"console/active", "tty0 ttyS3\n"}})
            WriteFile(Sys(szFile), szText);
        fs::create_symlink(Dev("ttyUSB2"), Dev("serial/by-id/usb-adapter"));
        fs::create_symlink(Dev("ttyUSB10"), Dev("serial/by-path/pci-usb-0:2:1.0"));
        Map().ClearPins();
        Map().SetEnumerate(true);
        Map().SetRoots({m_dir.Path("dev"), m_dir.Path("sys"), "/proc", m_dir.Path("lock")});
    }
    void TearDown() override {
        Map().ClearPins();
        Map().SetRoots({});
        Map().SetEnumerate(false);
    }
    void AddTty(const std::string& strName, bool bHardware) {
        WriteFile(Dev(strName), "\n");
        fs::create_directories(Sys(strName + (bHardware ? "/device" : "")));
    }
    std::string Dev(const std::string& str) const { return m_dir.Path("dev/" + str); }
    std::string Sys(const std::string& str) const { return m_dir.Path("sys/" + str); }
    static CComPortMap& Map() { return CComPortMap::Instance(); }
    // COM1 to COM<nLast> as paths under the fake /dev where they lie there.
    std::vector<std::string> Numbered(int nLast) const {
        std::vector<std::string> devices;
        for (int n = 1; n <= nLast; ++n) {
            const std::string str = Map().Resolve("COM" + std::to_string(n));
            devices.push_back(str.rfind(Dev(""), 0) == 0 ? str.substr(Dev("").size()) : str);
        }
        return devices;
    }

    CTempDir m_dir{"portmap"};
};

using Names = std::vector<std::string>;

}  // namespace

// USB adapters, then ACM, then hardware ttys, each in natural order; a /dev/serial link, where
// one names the tty, stands for it. A pinned device, also through such a link, leaves the queue.
// Devices plugged in or out count only once the list is rebuilt.
TEST_F(PortMapTest, NumbersGoToUsbThenAcmThenHardwareTtysAroundThePinsNeverTheConsole) {
    const std::string strById = "serial/by-id/usb-adapter",
                      strByPath = "serial/by-path/pci-usb-0:2:1.0";
    const Names initial = {"ttyUSB1", strById, strByPath, "ttyACM0", "ttyAMA0", "ttyS0", ""};
    EXPECT_EQ(Numbered(7), initial);
    // A number beyond the window's, as a job takes for its device, renumbers nothing.
    Map().Pin(1000, Dev("ttyUSB1"));
    EXPECT_EQ(Numbered(7), initial);
    EXPECT_EQ(Map().Resolve("COM1000"), Dev("ttyUSB1"));
    Map().Unpin(1000);
    Map().Pin(2, "/tmp/some-pty");
    Map().Pin(4, Dev(strById));
    Map().Pin(9, Dev("ttyS3"));
    EXPECT_EQ(Numbered(9), Names({"ttyUSB1", "/tmp/some-pty", strByPath, strById, "ttyACM0",
                                  "ttyAMA0", "ttyS0", "", ""}));
    AddTty("ttyUSB0", true);      // plugged in
    fs::remove(Dev("ttyUSB10"));  // unplugged: its number now fails to open
    fs::remove(Dev(strByPath));
    EXPECT_EQ(Numbered(3), Names({"ttyUSB1", "/tmp/some-pty", strByPath}));
    Map().Rebuild();
    EXPECT_EQ(Numbered(3), Names({"ttyUSB0", "/tmp/some-pty", "ttyUSB1"}));
}

TEST_F(PortMapTest, HandEditedPinsAreTrimmedAndOnlyComNumbersResolve) {
    EXPECT_EQ(Map().ApplyPins({{"COM3", "\n  /tmp/y\n"},
                               {"Enumerate", " 0 "},
                               {"COM4", " \t"},
                               {"COM17", "/z"},
                               {"com5", "/z"}}),
              1);
    EXPECT_EQ(Map().DeviceFor(1) + Map().DeviceFor(3), "/tmp/y");
    Map().ClearPins();
    Map().Pin(12, "/tmp/x");
    EXPECT_EQ(Map().DeviceFor(3) + Map().Resolve("/dev/pts/9") + Map().Resolve("com12"),
              "/dev/pts/9/tmp/x");
    Map().Unpin(12);
    for (const char* sz : {"COM12", "", "COM", "COM0", "COM-1", "COMX", "LPT1", "COM1 ", "pts/9"})
        EXPECT_EQ(Map().Resolve(sz), "") << sz;
}

TEST_F(PortMapTest, PortListNamesTheUsbDeviceBehindEachNumberAndWhoHoldsIt) {
    const fs::path usb = m_dir.Dir() / "devices/usb1/1-1";  // tty -> interface -> USB device
    fs::create_directories(usb / "1-1:1.0/ttyUSB2");
    fs::create_directories(m_dir.Dir() / "drivers/ftdi_sio");
    fs::create_directory_symlink(m_dir.Dir() / "drivers/ftdi_sio", usb / "1-1:1.0/ttyUSB2/driver");
    for (const auto& [szFile, szValue] :
         {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A1B2"}})
        WriteFile(usb / szFile, std::string(szValue) + "\n");
    fs::remove(Sys("ttyUSB2/device"));
    fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB2", Sys("ttyUSB2/device"));
    WriteFile(m_dir.Path("lock/LCK..ttyUSB10"), "         1\n");
    const std::vector<SPortInfo> ports = ListPorts();
    ASSERT_EQ(ports.size(), 6u);
    const SPortInfo& a = ports[1];
    EXPECT_EQ(Names({std::to_string(a.nCom), a.strDevice, a.strTty, a.strById, a.strByPath,
                     a.strVidPid, a.strSerial, a.strDriver, a.strHeldWhy}),
              Names({"2", a.strById, Dev("ttyUSB2"), Dev("serial/by-id/usb-adapter"), "",
                     "0403:6001", "A1B2", "ftdi_sio", ""}));
    EXPECT_TRUE(!a.bHeld && ports[2].bHeld);
    EXPECT_EQ(ports[2].strHeldWhy,
              "lock file " + m_dir.Path("lock/LCK..ttyUSB10") + " of process 1");
    EXPECT_EQ(ports[5].strTty + ports[5].strVidPid + ports[5].strByPath, Dev("ttyS0"));
}
