#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>
#include <tuple>

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

// Updates each (type, data lines, faults) at the type's speed through the channel.
void UpdateEach(std::initializer_list<std::tuple<int, int, BootloaderFaults>> runs) {
    for (const auto& [nType, nLines, faults] : runs) {
        SCOPED_TRACE("type " + std::to_string(nType) + ", " + std::to_string(nLines) + " lines");
        SimTargetOptions options;
        options.nType = nType;
        options.faults = faults;
        options.bWire = true;
        PinnedTarget pinned(options);
        const std::vector<std::string> aLines = MakeFirmware(nType, nLines);
        {
            CUpdateRig rig;
            rig.SetResetButton([&] { pinned.target.Reset(); });
            EXPECT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
            EXPECT_EQ(rig.Image().GetTargetType(), nType);
            EXPECT_TRUE(rig.RunUpdate(kCom, 30000));
            EXPECT_EQ(rig.Status(), "Update successful");
            const ToolLineView line = pinned.target.ToolSettings();
            EXPECT_EQ(line.nBaud, static_cast<uint32_t>(GetTargetInfo(nType).nBaud));
            EXPECT_TRUE(line.bIxon && line.bIxoff && line.bRaw && !line.bCrtscts);
        }
        const BootloaderCounters n = pinned.target.Counters();
        EXPECT_EQ(n.nLostReplies > 0, faults.dLostReply > 0);
        EXPECT_EQ(n.nChecksumErrors + n.nPageErrors > 0, faults.dChecksumError > 0);
        EXPECT_EQ(n.nNoiseBytes > 0, faults.dNoise > 0);
        EXPECT_EQ(pinned.target.Image(), FlashImageOf(aLines));
    }
}

}  // namespace

TEST(UpdateOverPty, EveryTargetTypeReceivesTheFileAtItsSpeed) {
    UpdateEach({{1, 40, {}}, {2, 40, {}}, {3, 40, {}}, {4, 40, {}}, {5, 40, {}}});
}

// Lost replies cost a timeout each: few lines for them.
TEST(UpdateOverPty, SeededFaultsAreResentUntilTheTargetHoldsTheFile) {
    BootloaderFaults noisy, lost;
    noisy.nSeed = 11;
    noisy.dChecksumError = noisy.dPageError = 0.02;
    noisy.dNoise = 0.2;
    lost.nSeed = 3;
    lost.dLostReply = 0.03;
    UpdateEach({{3, 60, noisy}, {1, 30, lost}});
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
