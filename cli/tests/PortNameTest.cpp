#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "Firmware.h"
#include "PortInfo.h"
#include "PortMap.h"
#include "PortName.h"
#include "RunCli.h"
#include "SimTarget.h"
#include "TestKit.h"
#include "WinCom.h"

namespace fs = std::filesystem;

namespace {

// A fake /dev and /sys/class/tty: two adapters of one make (serials A1, B2) and a board of
// another (C3), with by-id and by-path links.
class PortNameTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sz : {"dev/serial/by-id", "dev/serial/by-path", "lock"})
            fs::create_directories(m_root / sz);
        AddUsbTty("ttyUSB0", "0403", "6001", "A1");
        AddUsbTty("ttyUSB1", "0403", "6001", "B2");
        AddUsbTty("ttyACM0", "2341", "0043", "C3");
        fs::create_symlink("../../ttyUSB0", Dev() / "serial/by-id/usb-FTDI_A1-if00-port0");
        fs::create_symlink("../../ttyUSB1", Dev() / "serial/by-path/pci-0000:00:14.0-usb-0:2");
        Map().SetEnumerate(true);
        Map().SetRoots(
            {Dev().string(), (m_root / "sys").string(), "/proc", (m_root / "lock").string()});
    }
    void TearDown() override {
        Map().ClearPins();
        Map().SetRoots({});
    }
    void AddUsbTty(const std::string& strName, const char* szVid, const char* szPid,
                   const char* szSerial) {
        std::ofstream(Dev() / strName).put('\n');
        const fs::path usb = m_root / "devices" / strName;  // tty -> interface -> USB device
        fs::create_directories(usb / "1-1:1.0" / strName);
        for (const auto& [szFile, szValue] :
             {std::pair{"idVendor", szVid}, {"idProduct", szPid}, {"serial", szSerial}})
            std::ofstream(usb / szFile) << szValue << "\n";
        fs::create_directories(m_root / "sys" / strName);
        fs::create_directory_symlink(usb / "1-1:1.0" / strName,
                                     m_root / "sys" / strName / "device");
    }
    fs::path Dev() const { return m_root / "dev"; }
    std::string D(const char* sz) const { return fs::canonical(Dev() / sz).string(); }
    static CComPortMap& Map() { return CComPortMap::Instance(); }

    CTempDir m_dir{"korvi-ports"};
    const fs::path m_root = m_dir.Dir();
};

}  // namespace

TEST_F(PortNameTest, EveryFormNamesItsDeviceAmbiguityListsTheCandidatesAndAdaptersAreDescribed) {
    const fs::path config = m_root / "Config.xml";
    std::ofstream(config) << "<profile><Ports><COM1>" << (Dev() / "ttyACM0").string()
                          << "</COM1></Ports></profile>\n";
    const std::string strByPath = (Dev() / "serial/by-path/pci-0000:00:14.0-usb-0:2").string();
    const std::pair<std::string, std::string> aCases[] = {
        {"COM1", D("ttyACM0")},  // pinned
        {"com2", D("ttyUSB0")},  // the first unpinned device
        {strByPath, D("ttyUSB1")},       {"ttyACM0", D("ttyACM0")},
        {"usb:2341:0043", D("ttyACM0")}, {"USB:0403:6001:B2", D("ttyUSB1")},
    };
    for (const auto& [strName, strDevice] : aCases) {
        const PortMatch m = ResolvePortName(strName, config.string());
        EXPECT_EQ(m.strDevice, strDevice) << strName << ": " << m.strProblem;
        EXPECT_TRUE(m.aCandidates.empty()) << strName;
        // Only an unpinned number follows the order devices are found in (no station takes it).
        EXPECT_EQ(IsNumberedByPosition(strName, config.string()), strName == "com2") << strName;
    }
    // The number a job record keeps, whatever case the port was named in.
    EXPECT_EQ(
        std::tuple(ComNumber("com3"), ComNumber("COM12"), ComNumber("COM0"), ComNumber("ttyS3")),
        std::tuple(3, 12, 0, 0));
    const PortMatch two = ResolvePortName("usb:0403:6001", config.string());
    EXPECT_EQ(two.strDevice, "");
    ASSERT_EQ(two.aCandidates.size(), 2u);
    EXPECT_NE(two.aCandidates[0].find("usb:0403:6001:A1"), std::string::npos);
    EXPECT_NE(two.aCandidates[1].find("usb:0403:6001:B2"), std::string::npos);
    for (const std::string& strName :
         {std::string("COM4"), std::string("usb:0403:6001:Z9"), std::string("usb:0403"),
          (Dev() / "ttyS9").string(), std::string("ttyUSB7"), std::string("pts/3")}) {
        const PortMatch m = ResolvePortName(strName, config.string());
        EXPECT_TRUE(m.strDevice.empty() && m.aCandidates.empty()) << strName;
        EXPECT_FALSE(m.strProblem.empty()) << strName;
    }
    // What a station records of a slot's adapter.
    const SPortInfo viaLink = DescribePort(strByPath);
    const SPortInfo tty = DescribePort(D("ttyUSB0"));
    EXPECT_EQ(std::tie(viaLink.strTty, viaLink.strSerial, viaLink.strByPath),
              std::tuple(D("ttyUSB1"), "B2", strByPath));
    EXPECT_EQ(std::tie(tty.strSerial, tty.strByPath), std::tuple("A1", ""));
}

TEST(CliPort, DryRunThroughALinkStopsAtTheGreetingAndAHeldPortIsRefused) {
    CSimTarget target({.nType = 1, .faults = {}, .strLink = {}, .nGreetEveryMs = 200});
    ASSERT_TRUE(target.Start());
    const fs::path link = ProcessTempDir() / "usb-Sim_Target_S1-if00-port0";
    fs::create_symlink(target.Path(), link);
    const std::string strFile = FirmwareFile(1, 20);

    const CliRun dry = RunCli({"flash", strFile, "--port", link.string(), "--dry-run", "--json"});
    EXPECT_EQ(dry.nExit, 0) << dry.strErr;
    EXPECT_EQ(dry.Events().front()["device"], fs::canonical(target.Path()).string());
    EXPECT_EQ(dry.Events().back()["lines_sent"], 0);
    EXPECT_EQ(dry.Records().size(), 1u);       // a dry run is in the history too
    EXPECT_EQ(target.Counters().nEntries, 0);  // never entered the bootloader
    EXPECT_GT(target.Counters().nGreetings, 0);

    CWinCom holder;
    ASSERT_TRUE(holder.Open(target.Path() + ":115200,N,8,1"));
    const CliRun held = RunCli({"flash", strFile, "--port", link.string(), "--wait", "1"});
    EXPECT_EQ(held.nExit, 4);
    EXPECT_NE(held.strErr.find("held by another program"), std::string::npos) << held.strErr;
}
