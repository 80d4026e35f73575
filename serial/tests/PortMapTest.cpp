#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "PortInfo.h"
#include "PortMap.h"

namespace fs = std::filesystem;

namespace {

// A fake /dev, /sys/class/tty and lock directory; no real device is touched.
class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() / ("portmap-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        for (const char* sz : {"dev/serial/by-id", "dev/serial/by-path", "sys/console", "lock"})
            fs::create_directories(m_root / sz);
        // ttyS1: an unknown UART, nothing there; ttyS2: no type at all; ttyS3: the console.
        for (const auto& [sz, szType] : {std::pair<const char*, const char*>{"ttyUSB10", nullptr},
                                         {"ttyUSB2", nullptr},
                                         {"ttyUSB1", nullptr},
                                         {"ttyACM0", nullptr},
                                         {"rfcomm0", nullptr},
                                         {"ttyS0", "4"},
                                         {"ttyS1", "0"},
                                         {"ttyS2", nullptr},
                                         {"ttyS3", "4"},
                                         {"ttyAMA0", nullptr}})
            AddTty(sz, true, szType);
        AddTty("tty5", false);  // virtual console
        std::ofstream(Sys() / "console/active") << "tty0 ttyS3\n";
        fs::create_symlink(Dev() / "ttyUSB2", Dev() / "serial/by-id/usb-adapter");
        fs::create_symlink(Dev() / "ttyUSB10", Dev() / "serial/by-path/pci-usb-0:2:1.0");
        Map().ClearPins();
        Map().SetEnumerate(true);
        Map().SetRoots({Dev().string(), Sys().string(), "/proc", (m_root / "lock").string()});
    }
    void TearDown() override {
        Map().ClearPins();
        Map().SetRoots({});
        Map().SetEnumerate(false);
        fs::remove_all(m_root);
    }
    void AddTty(const std::string& strName, bool bHardware, const char* szType = nullptr) {
        std::ofstream(Dev() / strName).put('\n');
        fs::create_directories(Sys() / strName);
        if (bHardware) fs::create_directories(Sys() / strName / "device");
        if (szType != nullptr) std::ofstream(Sys() / strName / "type") << szType << "\n";
    }
    fs::path Dev() const { return m_root / "dev"; }
    fs::path Sys() const { return m_root / "sys"; }
    std::string D(const char* sz) const { return (Dev() / sz).string(); }
    static CComPortMap& Map() { return CComPortMap::Instance(); }

    fs::path m_root;
};

}  // namespace

TEST_F(PortMapTest, EnumeratesUsbThenAcmThenHardwareTtysNeverTheConsole) {
    const std::vector<std::string> expected = {D("ttyUSB1"), D("ttyUSB2"), D("ttyUSB10"),
                                               D("ttyACM0"), D("ttyAMA0"), D("ttyS0")};
    EXPECT_EQ(Map().EnumerateDevices(), expected);
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    // A /dev/serial link, where one names the tty, stands for it.
    EXPECT_EQ(Map().Resolve("COM2"), D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM3"), D("serial/by-path/pci-usb-0:2:1.0"));
    EXPECT_EQ(Map().Resolve("COM6"), D("ttyS0"));
    EXPECT_EQ(Map().Resolve("COM7"), "");
    Map().Pin(9, D("ttyS3"));
    EXPECT_EQ(Map().DeviceFor(9), "");
}

TEST_F(PortMapTest, PinsTakeTheirNumbersAndTheirDevicesLeaveTheQueue) {
    Map().Pin(2, "/tmp/some-pty");
    // Pinned through a by-id link: the same tty must not show up a second time.
    Map().Pin(4, D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    EXPECT_EQ(Map().Resolve("COM2"), "/tmp/some-pty");
    EXPECT_EQ(Map().Resolve("COM3"), D("serial/by-path/pci-usb-0:2:1.0"));
    EXPECT_EQ(Map().Resolve("COM4"), D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM5"), D("ttyACM0"));
    EXPECT_EQ(Map().Resolve("COM7"), D("ttyS0"));
    EXPECT_EQ(Map().Resolve("COM8"), "");
}

TEST_F(PortMapTest, NumbersKeepTheirDevicesUntilTheListIsRebuilt) {
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    AddTty("ttyUSB0", true);   // plugged in
    fs::remove(D("ttyUSB2"));  // unplugged: its number now fails to open
    fs::remove(D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    EXPECT_EQ(Map().Resolve("COM2"), D("serial/by-id/usb-adapter"));
    Map().Rebuild();
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB0"));
    EXPECT_EQ(Map().Resolve("COM2"), D("ttyUSB1"));
}

TEST_F(PortMapTest, HandEditedPinsAreTrimmedAndOnlyComNumbersResolve) {
    const std::vector<std::pair<std::string, std::string>> section = {{"COM3", "\n  /tmp/y\n"},
                                                                      {"Enumerate", " 0 "},
                                                                      {"COM4", " \t"},
                                                                      {"COM17", "/z"},
                                                                      {"com5", "/z"}};
    EXPECT_EQ(Map().ApplyPins(section), 1);
    EXPECT_EQ(Map().DeviceFor(1) + Map().DeviceFor(3), "/tmp/y");
    Map().ClearPins();
    EXPECT_EQ(Map().DeviceFor(3), "");
    Map().Pin(12, "/tmp/x");
    EXPECT_EQ(Map().Resolve("/dev/pts/9"), "/dev/pts/9");
    EXPECT_EQ(Map().Resolve("com12"), "/tmp/x");
    Map().Unpin(12);
    EXPECT_EQ(Map().Resolve("COM12"), "");
    for (const char* sz : {"", "COM", "COM0", "COM-1", "COMX", "LPT1", "COM1 ", "pts/9"})
        EXPECT_EQ(Map().Resolve(sz), "") << sz;
}

TEST_F(PortMapTest, PortListNamesTheUsbDeviceBehindEachNumberAndWhoHoldsIt) {
    const fs::path usb = m_root / "devices/usb1/1-1";  // tty -> interface -> USB device
    fs::create_directories(usb / "1-1:1.0/ttyUSB2");
    fs::create_directories(m_root / "drivers/ftdi_sio");
    fs::create_directory_symlink(m_root / "drivers/ftdi_sio", usb / "1-1:1.0/ttyUSB2/driver");
    for (const auto& [szFile, szValue] :
         {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A1B2"}})
        std::ofstream(usb / szFile) << szValue << "\n";
    fs::remove(Sys() / "ttyUSB2/device");
    fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB2", Sys() / "ttyUSB2/device");
    std::ofstream(m_root / "lock/LCK..ttyUSB10") << "         1\n";
    const std::vector<SPortInfo> ports = ListPorts();
    ASSERT_EQ(ports.size(), 6u);
    const SPortInfo& a = ports[1];
    EXPECT_EQ(std::vector({std::to_string(a.nCom), a.strDevice, a.strTty, a.strById, a.strByPath,
                           a.strVidPid, a.strSerial, a.strDriver, a.strHeldWhy}),
              std::vector<std::string>({"2", a.strById, D("ttyUSB2"), D("serial/by-id/usb-adapter"),
                                        "", "0403:6001", "A1B2", "ftdi_sio", ""}));
    EXPECT_TRUE(!a.bHeld && ports[2].bHeld);
    EXPECT_EQ(ports[2].strHeldWhy,
              "lock file " + (m_root / "lock/LCK..ttyUSB10").string() + " of process 1");
    EXPECT_EQ(ports[5].strTty + ports[5].strVidPid + ports[5].strByPath, D("ttyS0"));
}
