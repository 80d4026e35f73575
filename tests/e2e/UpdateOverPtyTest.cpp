#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>
#include <tuple>
#include <vector>

#include "Firmware.h"
#include "HexRecord.h"
#include "PinnedTarget.h"
#include "UpdateRig.h"

namespace {

// Updates a target of nType, pinned as nCom, at the type's speed through the channel.
void Update(int nCom, int nType, int nLines, const BootloaderFaults& faults) {
    SCOPED_TRACE("type " + std::to_string(nType) + ", " + std::to_string(nLines) + " lines");
    CPinnedTarget target(nCom, {.nType = nType, .faults = faults, .strLink = {}, .bWire = true});
    const std::vector<std::string> aLines = MakeFirmware(nType, nLines);
    {
        CUpdateRig rig;
        rig.SetResetButton([&] { target->Reset(); });
        EXPECT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
        EXPECT_EQ(rig.Image().GetTargetType(), nType);
        EXPECT_TRUE(rig.RunUpdate(nCom, 30000));
        EXPECT_EQ(rig.Status(), "Update successful");
        const ToolLineView line = target->ToolSettings();
        EXPECT_EQ(line.nBaud, static_cast<uint32_t>(GetTargetInfo(nType).nBaud));
        EXPECT_TRUE(line.bIxon && line.bIxoff && line.bRaw && !line.bCrtscts);
    }
    const BootloaderCounters n = target->Counters();
    EXPECT_EQ(n.nLostReplies > 0, faults.dLostReply > 0);
    EXPECT_EQ(n.nChecksumErrors + n.nPageErrors > 0, faults.dChecksumError > 0);
    EXPECT_EQ(n.nNoiseBytes > 0, faults.dNoise > 0);
    EXPECT_EQ(target->Image(), FlashImageOf(aLines));
}

// All at once, each (type, data lines, faults) on a port and a thread of its own.
void UpdateAtOnce(std::initializer_list<std::tuple<int, int, BootloaderFaults>> runs) {
    std::vector<std::thread> threads;
    for (const auto& [nType, nLines, faults] : runs)
        threads.emplace_back(Update, static_cast<int>(threads.size()) + 1, nType, nLines, faults);
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace

TEST(UpdateOverPty, EveryTargetTypeReceivesTheFileAtItsSpeed) {
    UpdateAtOnce({{1, 40, {}}, {2, 40, {}}, {3, 40, {}}, {4, 40, {}}, {5, 40, {}}});
}

// Lost replies cost a timeout each: few lines for them.
TEST(UpdateOverPty, SeededFaultsAreResentUntilTheTargetHoldsTheFile) {
    const BootloaderFaults noisy{
        .nSeed = 11, .dChecksumError = 0.02, .dPageError = 0.02, .dNoise = 0.2};
    UpdateAtOnce({{3, 60, noisy}, {1, 30, {.nSeed = 3, .dLostReply = 0.03}}});
}

TEST(UpdateOverPty, UnpluggedTargetLeavesTheToolResponsiveAndAFreshRunSucceeds) {
    const std::string strLink = testing::TempDir() + "korvi-e2e-link-" + std::to_string(::getpid());
    CPinnedTarget target(7, {.nType = 2, .faults = {}, .strLink = strLink, .bWire = true});
    const std::vector<std::string> aLines = MakeFirmware(2, 100);
    CUpdateRig rig;
    rig.SetResetButton([&] { target->Reset(); });
    ASSERT_TRUE(rig.LoadFile(WriteTempFile(JoinLines(aLines, "\r\n"))));
    bool bUnplugged = false;
    rig.SetTickHook([&] {
        if (bUnplugged || target->Counters().nAccepted < 20) return;
        target->HangUp();
        bUnplugged = true;
    });
    EXPECT_FALSE(rig.RunUpdate(7, 3000));  // the target went silent mid-transfer
    EXPECT_TRUE(bUnplugged && rig.Channel().IsOpen());

    rig.SetTickHook({});
    ASSERT_TRUE(target->ComeBack());
    ASSERT_TRUE(rig.RunUpdate(7, 30000)) << rig.Status();
    EXPECT_EQ(rig.Status(), "Update successful");
    EXPECT_EQ(target->Image(), FlashImageOf(aLines));
}
