#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "FaultSoak.h"
#include "Firmware.h"
#include "ProcessUsage.h"

namespace {

// Heap pages and thread stacks that the C library keeps for reuse after the warm-up; a leak of
// a line or a receive buffer per update exceeds it within a few hundred updates.
constexpr long kRssSlackKiB = 2048;

// The sanitizers hold freed memory back (quarantine, shadow) and look for leaks themselves.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVI_SOAK_SANITIZED
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KORVI_SOAK_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int EnvInt(const char* szName, int nDefault) {
    const char* sz = std::getenv(szName);
    return sz != nullptr && *sz != '\0' ? std::atoi(sz) : nDefault;
}

}  // namespace

// KORVI_SOAK_UPDATES sets the number of updates (default 20, about a minute), KORVI_SOAK_SEED
// the seed of the fault plan.
TEST(FaultSoak, UpdatesUnderFaultsDeliverTheFileAndGiveBackWhatTheyTook) {
    const int nUpdates = std::max(2, EnvInt("KORVI_SOAK_UPDATES", 20));
    const auto nSeed = static_cast<uint32_t>(EnvInt("KORVI_SOAK_SEED", 1));
    CFaultSoak soak(nSeed, (ProcessTempDir() / "soak-com").string());
    ASSERT_TRUE(soak.Started());

    // The first update makes the allocations that stay for the process's life.
    soak.RunUpdate(0);
    const ProcessUsage baseline = ReadProcessUsage();
    long nPeakRssKiB = baseline.nRssKiB;
    for (int i = 1; i < nUpdates; ++i) {
        soak.RunUpdate(i);
        const ProcessUsage now = ReadProcessUsage();
        EXPECT_EQ(now.nFds, baseline.nFds) << "after update " << i;
        EXPECT_EQ(now.nThreads, baseline.nThreads) << "after update " << i;
        nPeakRssKiB = std::max(nPeakRssKiB, now.nRssKiB);
        if (i % 25 == 0) {
            std::printf("after update %d: %s\n", i, ToString(now).c_str());
            std::fflush(stdout);
        }
    }
    const ProcessUsage end = ReadProcessUsage();
    if (!kSanitized) {
        EXPECT_LE(end.nRssKiB, baseline.nRssKiB + kRssSlackKiB);
    }

    const SoakTally& tally = soak.Tally();
    std::printf("%s\nbaseline %s; end %s; peak %ld KiB\n", tally.Summary().c_str(),
                ToString(baseline).c_str(), ToString(end).c_str(), nPeakRssKiB);
    for (const std::string& str : tally.aProblems)
        ADD_FAILURE() << str;
    EXPECT_EQ(tally.nSucceeded, tally.nUpdates - tally.nFailed);
    if (nUpdates >= 20) {
        // The plan gives a run this long every kind of fault.
        const SoakFaultCounts& f = tally.faults;
        for (int n : {f.nChecksum, f.nPage, f.nStray, f.nLost, f.nVanished, f.nPortChanges,
                      f.nRestarts, tally.nFailed}) {
            EXPECT_GT(n, 0) << tally.Summary();
        }
    }
}
