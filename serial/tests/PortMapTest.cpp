#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "PortMap.h"

namespace fs = std::filesystem;

namespace {

// A fake /dev and /sys/class/tty; no real device is touched.
class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() / ("portmap-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(Dev());
        fs::create_directories(Sys());
        for (const char* sz : {"ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyACM0"})
            AddTty(sz, true);
        AddTty("ttyS0", true, "4");  // UART found
        AddTty("ttyS1", true, "0");  // unknown UART: nothing there
        AddTty("ttyS2", true);       // no type at all
        AddTty("ttyAMA0", true);
        AddTty("tty5", false);  // virtual console
        fs::create_directories(Dev() / "serial/by-id");
        fs::create_symlink(Dev() / "ttyUSB2", Dev() / "serial/by-id/usb-adapter");
        Map().ClearPins();
        Map().SetEnumerate(true);
        Map().SetRoots({Dev().string(), Sys().string()});
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

TEST_F(PortMapTest, EnumeratesUsbThenAcmThenHardwareTtysInNaturalOrder) {
    const std::vector<std::string> expected = {D("ttyUSB1"), D("ttyUSB2"), D("ttyUSB10"),
                                               D("ttyACM0"), D("ttyAMA0"), D("ttyS0")};
    EXPECT_EQ(Map().EnumerateDevices(), expected);
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    EXPECT_EQ(Map().Resolve("COM3"), D("ttyUSB10"));
    EXPECT_EQ(Map().Resolve("COM6"), D("ttyS0"));
    EXPECT_EQ(Map().Resolve("COM7"), "");
}

TEST_F(PortMapTest, PinsTakeTheirNumbersAndTheirDevicesLeaveTheQueue) {
    Map().Pin(2, "/tmp/some-pty");
    // Pinned through a by-id link: the same tty must not show up a second time.
    Map().Pin(4, D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM1"), D("ttyUSB1"));
    EXPECT_EQ(Map().Resolve("COM2"), "/tmp/some-pty");
    EXPECT_EQ(Map().Resolve("COM3"), D("ttyUSB10"));
    EXPECT_EQ(Map().Resolve("COM4"), D("serial/by-id/usb-adapter"));
    EXPECT_EQ(Map().Resolve("COM5"), D("ttyACM0"));
    EXPECT_EQ(Map().Resolve("COM7"), D("ttyS0"));
    EXPECT_EQ(Map().Resolve("COM8"), "");
}

TEST_F(PortMapTest, NamesThatAreNotComNumbers) {
    Map().Pin(12, "/tmp/x");
    EXPECT_EQ(Map().Resolve("/dev/pts/9"), "/dev/pts/9");
    EXPECT_EQ(Map().Resolve("com12"), "/tmp/x");
    for (const char* sz : {"", "COM", "COM0", "COM-1", "COMX", "LPT1", "COM1 ", "pts/9"}) {
        EXPECT_EQ(Map().Resolve(sz), "") << sz;
    }
}

TEST_F(PortMapTest, WithoutEnumerationOnlyPinsResolve) {
    Map().SetEnumerate(false);
    Map().Pin(3, "/tmp/y");
    EXPECT_EQ(Map().DeviceFor(1), "");
    EXPECT_EQ(Map().DeviceFor(3), "/tmp/y");
    Map().ClearPins();
    EXPECT_EQ(Map().DeviceFor(3), "");
}
