#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "Firmware.h"
#include "HexRecord.h"
#include "PortMap.h"
#include "SimTarget.h"
#include "UpdateRig.h"

namespace {

constexpr int kCom = 7;

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
    run.expected = FlashImageOf(aLines);
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

// Lost replies cost a timeout each: few lines for them.
TEST(UpdateOverPty, SeededFaultsAreResentUntilTheTargetHoldsTheFile) {
    BootloaderFaults checksumPageNoise;
    checksumPageNoise.nSeed = 11;
    checksumPageNoise.dChecksumError = checksumPageNoise.dPageError = 0.02;
    checksumPageNoise.dNoise = 0.2;
    BootloaderFaults lost;
    lost.nSeed = 3;
    lost.dLostReply = 0.03;
    for (const auto& [nType, nLines, faults] :
         {std::tuple{3, 60, checksumPageNoise}, std::tuple{1, 30, lost}}) {
        const UpdateResult run = UpdateOverPty(nType, nLines, faults);
        EXPECT_EQ(run.strStatus, "Update successful");
        const BootloaderCounters& n = run.counters;
        EXPECT_TRUE(faults.dLostReply > 0
                        ? n.nLostReplies > 0
                        : n.nChecksumErrors + n.nPageErrors > 0 && n.nNoiseBytes > 0);
        EXPECT_EQ(run.received, run.expected);
    }
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
    EXPECT_EQ(target.Image(), FlashImageOf(aLines));
}
