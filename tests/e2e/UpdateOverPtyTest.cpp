#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "ByteQueue.h"
#include "Firmware.h"
#include "HexRecord.h"
#include "PortMap.h"
#include "SimTarget.h"
#include "UpdateRig.h"

namespace {

constexpr int kCom = 7;

// What a target should hold after taking the file: every data record at its absolute address.
std::map<uint32_t, uint8_t> ImageOfLines(const std::vector<std::string>& aLines) {
    std::map<uint32_t, uint8_t> image;
    uint32_t nBase = 0;
    for (const std::string& strLine : aLines) {
        DecodedHexRecord rec;
        if (!DecodeHexRecord(strLine, rec)) continue;
        if (rec.nType == 0x02 && rec.abData.size() == 2)
            nBase = ((rec.abData[0] << 8) | rec.abData[1]) << 4;
        if (rec.nType == 0x04 && rec.abData.size() == 2)
            nBase = ((rec.abData[0] << 8) | rec.abData[1]) << 16;
        if (rec.nType != 0x00) continue;
        for (size_t i = 0; i < rec.abData.size(); ++i) {
            image[nBase + static_cast<uint16_t>(rec.nAddress + i)] = rec.abData[i];
        }
    }
    return image;
}

// A simulated target, started and pinned as COM7 for the test's lifetime.
struct PinnedTarget {
    explicit PinnedTarget(const SimTargetOptions& options) : target(options) {
        EXPECT_TRUE(target.Start());
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().Pin(kCom, target.Path());
    }
    ~PinnedTarget() { CComPortMap::Instance().ClearPins(); }
    PinnedTarget(const PinnedTarget&) = delete;
    PinnedTarget& operator=(const PinnedTarget&) = delete;

    CSimTarget target;
};

struct UpdateResult {
    std::string strStatus;
    std::map<uint32_t, uint8_t> expected;
    std::map<uint32_t, uint8_t> received;
    ToolLineView line;
    BootloaderCounters counters;
};

// One update of a generated firmware for nType through the channel to a simulated target.
UpdateResult UpdateOverPty(int nType, int nDataLines, const BootloaderFaults& faults,
                           int nTimeoutMs = 30000) {
    SimTargetOptions options;
    options.nType = nType;
    options.faults = faults;
    options.bWire = true;
    PinnedTarget pinned(options);
    CSimTarget& target = pinned.target;

    const std::vector<std::string> aLines = MakeFirmware(nType, nDataLines);
    UpdateResult run;
    run.expected = ImageOfLines(aLines);
    {
        CUpdateRig rig;
        rig.SetResetButton([&] { target.Reset(); });
        EXPECT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
        EXPECT_EQ(rig.Image().GetTargetType(), nType);
        EXPECT_TRUE(rig.RunUpdate(kCom, nTimeoutMs)) << "last status: " << rig.Status();
        run.strStatus = rig.Status();
        run.line = target.ToolSettings();
    }
    run.received = target.Image();
    run.counters = target.Counters();
    return run;
}

}  // namespace

TEST(UpdateOverPty, EachTargetTypeAtItsSpeedReceivesTheFile) {
    for (int nType = 1; nType <= 5; ++nType) {
        SCOPED_TRACE("type " + std::to_string(nType));
        const UpdateResult run = UpdateOverPty(nType, 40, {});
        EXPECT_EQ(run.strStatus, "Update successful");
        EXPECT_EQ(run.line.nBaud, static_cast<uint32_t>(GetTargetInfo(nType).nBaud));
        EXPECT_TRUE(run.line.bIxon && run.line.bIxoff && run.line.bRaw);
        EXPECT_FALSE(run.line.bCrtscts);
        EXPECT_EQ(run.counters.nChecksumErrors + run.counters.nPageErrors, 0);
        EXPECT_EQ(run.received, run.expected);
    }
}

TEST(UpdateOverPty, ChecksumAndPageErrorsWithNoiseAreResentFromThePage) {
    BootloaderFaults faults;
    faults.nSeed = 11;
    faults.dChecksumError = 0.02;
    faults.dPageError = 0.02;
    faults.dNoise = 0.2;
    const UpdateResult run = UpdateOverPty(3, 60, faults);
    EXPECT_EQ(run.strStatus, "Update successful");
    EXPECT_GT(run.counters.nChecksumErrors + run.counters.nPageErrors, 0);
    EXPECT_GT(run.counters.nNoiseBytes, 0);
    EXPECT_EQ(run.received, run.expected);
}

TEST(UpdateOverPty, LostReplyIsRecoveredAfterTheSilence) {
    BootloaderFaults faults;
    faults.nSeed = 3;
    faults.dLostReply = 0.03;
    const UpdateResult run = UpdateOverPty(1, 30, faults);
    EXPECT_EQ(run.strStatus, "Update successful");
    EXPECT_GE(run.counters.nLostReplies, 1);
    EXPECT_EQ(run.received, run.expected);
}

TEST(UpdateOverPty, FileErrorEndsTheUpdate) {
    BootloaderFaults faults;
    faults.nFileErrorAtRecord = 5;
    const UpdateResult run = UpdateOverPty(5, 20, faults);
    EXPECT_EQ(run.strStatus, "File Error!");
    EXPECT_EQ(run.counters.nFileErrors, 1);
}

TEST(UpdateOverPty, UnpluggedTargetLeavesTheToolResponsiveAndAFreshRunSucceeds) {
    SimTargetOptions options;
    options.nType = 2;
    options.bWire = true;
    options.strLink = testing::TempDir() + "korvi-e2e-link-" + std::to_string(::getpid());
    PinnedTarget pinned(options);
    CSimTarget& target = pinned.target;
    const std::vector<std::string> aLines = MakeFirmware(2, 200);

    CUpdateRig rig;
    rig.SetResetButton([&] { target.Reset(); });
    ASSERT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
    std::thread unplug([&] {
        while (target.Counters().nAccepted < 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        target.HangUp();
    });
    EXPECT_FALSE(rig.RunUpdate(kCom, 3000));  // the target went silent mid-transfer
    unplug.join();
    EXPECT_TRUE(rig.Channel().IsOpen());

    ASSERT_TRUE(target.ComeBack());
    ASSERT_TRUE(rig.RunUpdate(kCom, 30000)) << rig.Status();
    EXPECT_EQ(rig.Status(), "Update successful");
    EXPECT_EQ(target.Image(), ImageOfLines(aLines));
}

TEST(UpdateOverPty, TargetGreetingOnItsOwnIsEnoughForAnUpdate) {
    SimTargetOptions options;
    options.nType = 4;
    options.nGreetEveryMs = 50;
    PinnedTarget pinned(options);
    CSimTarget& target = pinned.target;
    const std::vector<std::string> aLines = MakeFirmware(4, 30);
    CUpdateRig rig;
    ASSERT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
    ASSERT_TRUE(rig.RunUpdate(kCom, 30000)) << rig.Status();
    EXPECT_EQ(rig.Status(), "Update successful");
    EXPECT_EQ(target.Image(), ImageOfLines(aLines));
}

TEST(SimTarget, GreetsAgainWhenTheToolMissedTheReadyCharacterButNotDuringTransfer) {
    SimTargetOptions options;
    options.nType = 3;
    options.nGreetEveryMs = 50;
    PinnedTarget pinned(options);
    CSimTarget& target = pinned.target;
    std::string strGot;
    CByteQueue queue([&](uint32_t, uint32_t n) { strGot.push_back(static_cast<char>(n)); });
    CWinCom com;
    com.m_nMsgId = 1;
    com.m_pTarget = &queue;
    ASSERT_TRUE(com.Open("COM7:19200,N,8,1"));
    auto got = [&](const std::string& str) {
        return queue.PumpUntil([&] { return strGot.find(str) != std::string::npos; }, 3000);
    };
    auto write = [&](const std::string& str) {
        com.Write(reinterpret_cast<const uint8_t*>(str.data()), static_cast<uint32_t>(str.size()));
    };
    ASSERT_TRUE(got("!"));
    write("^;]");
    ASSERT_TRUE(got("?"));
    strGot.clear();
    // The "?" is taken as lost: silence, and the target is reset by itself.
    ASSERT_TRUE(got("!"));
    write("^;]");
    ASSERT_TRUE(got("?"));
    write(MakeHexDataRecord(0, "abc"));
    ASSERT_TRUE(got("~"));
    strGot.clear();
    queue.PumpFor(300);
    EXPECT_EQ(strGot, "");
    EXPECT_EQ(target.ToolSettings().nBaud, 19200u);
    com.Close();
}
