#include <map>
#include <numeric>
#include <random>

#include "EngineFixture.h"

namespace {

std::vector<int> Range(int nFirst, int nLast) {
    std::vector<int> a(static_cast<size_t>(nLast - nFirst + 1));
    std::iota(a.begin(), a.end(), nFirst);
    return a;
}

struct ResendRow {
    const char* szName;
    int nAwaited;  // line whose reply is awaited; 40: "~" has moved past the last line
    std::vector<int> aWritten;
    std::vector<int> aProgress;
    int nLineAfter;  // the last line written: its "~" sends the line after it
};

enum class Fault { Checksum, Page, Timeout };

class ResendExample : public ThreePageTransfer,
                      public ::testing::WithParamInterface<std::tuple<ResendRow, Fault>> {
protected:
    std::vector<std::string> Lines(const std::vector<int>& aIndices) const {
        std::vector<std::string> a;
        a.reserve(aIndices.size());
        for (int n : aIndices)
            a.push_back(m_image.GetLine(n));
        return a;
    }
};

}  // namespace

TEST_P(ResendExample, RewindsToThePageBoundaryAndGoesOnAfterTheLastLineWritten) {
    const auto& [row, fault] = GetParam();
    AdvanceTo(row.nAwaited == 40 ? 39 : row.nAwaited);
    if (row.nAwaited == 40) {
        Receive("~");
        Tick();
    }
    m_host.ClearRecords();
    if (fault == Fault::Timeout) RunOutCountdown();
    Receive(fault == Fault::Checksum ? "-" : fault == Fault::Page ? "%" : "");
    Tick();
    EXPECT_EQ(m_host.m_aWrites, Lines(row.aWritten));
    EXPECT_EQ(m_host.m_aProgress, row.aProgress);
    EXPECT_EQ(m_host.m_strShownStatus, "Line " + std::to_string(row.aWritten.back()) + " von 40");
    EXPECT_EQ(m_engine.GetLine(), row.nLineAfter);
    EXPECT_EQ(m_host.m_strErrorCount, "1");
    EXPECT_EQ(m_engine.GetCountdown(), 5);

    // Every line written is answered; only the answer to the last of them moves on.
    m_host.ClearRecords();
    for (size_t n = 1; n < row.aWritten.size(); ++n) {
        Receive("~");
        Tick();
    }
    EXPECT_TRUE(m_host.m_aWrites.empty());
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites, Lines({row.nLineAfter + 1}));
    EXPECT_EQ(m_host.m_strShownStatus, "Line " + std::to_string(row.nLineAfter + 1) + " of 40");
}

INSTANTIATE_TEST_SUITE_P(
    ThreePages, ResendExample,
    ::testing::Combine(::testing::Values(ResendRow{"Line20", 20, {16}, {}, 16},
                                         ResendRow{"FirstOfPage1", 17, {16}, {}, 16},
                                         ResendRow{"FirstOfPage2", 33, {32}, {}, 32},
                                         ResendRow{"PageFromLineZero", 5, Range(0, 17),
                                                   Range(1, 17), 17},
                                         ResendRow{"PastTheLastLine", 40, {38}, {}, 38}),
                       ::testing::Values(Fault::Checksum, Fault::Page, Fault::Timeout)),
    [](const auto& info) {
        const Fault fault = std::get<1>(info.param);
        return std::string(std::get<0>(info.param).szName) + (fault == Fault::Checksum ? "Checksum"
                                                              : fault == Fault::Page   ? "Page"
                                                                                       : "Timeout");
    });

using Faults = ThreePageTransfer;

TEST_F(Faults, NoLineIsSkippedAfterAResend) {
    AdvanceTo(20);
    Receive("-");
    Tick();
    AdvanceTo(23);
    RunOutCountdown();
    Tick();
    m_host.ClearRecords();
    while (m_engine.GetLine() < 39) {
        Receive("~");
        Tick();
    }
    std::vector<std::string> aExpected;
    for (int n = 17; n <= 39; ++n)
        aExpected.push_back(m_image.GetLine(n));
    EXPECT_EQ(m_host.m_aWrites, aExpected);
}

TEST_F(Faults, SuccessInTheStepOfATimeoutStands) {
    AdvanceTo(39);
    RunOutCountdown();
    m_host.ClearRecords();
    Receive("@");
    Tick();
    EXPECT_EQ(m_engine.GetState(), Finished);
    EXPECT_EQ(m_host.m_strShownStatus, "Update successful");
    EXPECT_EQ(m_host.m_strErrorCount, "0");
    EXPECT_TRUE(m_host.m_aWrites.empty());
    EXPECT_FALSE(m_engine.IsBusy());
}

TEST_F(Faults, ThirdTimeoutEndsTheRunEvenWithATildeInTheSameStep) {
    for (int n = 0; n < 2; ++n) {
        RunOutCountdown();
        Tick();
        AdvanceTo(m_engine.GetLine() + 1);
    }
    RunOutCountdown();
    m_host.ClearRecords();
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_strShownStatus, "Fault! Please try again!");
    EXPECT_TRUE(m_host.m_aWrites.empty());
}

TEST_F(Faults, BytesFromBeforeStartDoNotDriveTheNewRun) {
    Receive("@");
    Tick();
    ASSERT_EQ(m_engine.GetState(), Finished);
    Receive("?!~");
    m_engine.Start(3);
    EXPECT_EQ(m_engine.GetReceived(), "");
    m_host.ClearRecords();
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    EXPECT_TRUE(m_host.m_aWrites.empty());
}

TEST_F(Faults, LineAccessStaysWithinTheCurrentImage) {
    AdvanceTo(39);
    for (int n = 0; n < 3; ++n) {  // "~" beyond the last line, more than once
        Receive("~");
        Tick();
    }
    m_host.ClearRecords();
    RunOutCountdown();
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{m_image.GetLine(38)});

    // The image shrinks under a running update: the rewind starts at its last line.
    AdvanceTo(30);
    Load(MakeFirmware(3, 5));
    m_host.ClearRecords();
    Receive("-");
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{m_image.GetLine(6)});
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites.size(), 1u);
    EXPECT_EQ(m_host.m_strShownStatus, "Line 7 of 7");
}

TEST_F(Faults, ReceivedTextStaysBoundedAndAnswersAlike) {
    Receive("@");
    Tick();
    for (int n = 0; n < 100000; ++n)
        m_engine.OnReceivedByte(static_cast<uint8_t>(n * 7));
    EXPECT_LE(m_engine.GetReceived().size(), 256u);
    EnterWaitReady();
    Receive("?");
    Tick();
    for (int n = 0; n < 10000; ++n)
        Receive("xyz");
    Receive("~");
    for (int n = 0; n < 10000; ++n)
        Receive("xyz");
    m_host.ClearRecords();
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{m_image.GetLine(1)});
}

TEST_F(Faults, ErrorOnALineOfAWholePageResendIsNotOvertakenByEarlierReplies) {
    AdvanceTo(5);
    Receive("-");
    Tick();  // lines 0 to 17 go out back to back
    m_host.ClearRecords();
    // Replies to lines 0 to 4 trickle in over several steps, then line 5 is refused.
    for (const char* sz : {"~~", "~", "~~"}) {
        Receive(sz);
        Tick();
    }
    EXPECT_TRUE(m_host.m_aWrites.empty());
    Receive("-");
    Tick();
    std::vector<std::string> aPage;
    for (int n = 0; n <= 17; ++n)
        aPage.push_back(m_image.GetLine(n));
    EXPECT_EQ(m_host.m_aWrites, aPage);
    // 12 replies of the first resend and 18 of the second are still due.
    m_host.ClearRecords();
    for (int n = 0; n < 29; ++n) {
        Receive("~");
        Tick();
    }
    EXPECT_TRUE(m_host.m_aWrites.empty());
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{m_image.GetLine(18)});
}

namespace {

// Segment 0 ends on page 1; segment 1 begins on page 0 with its address record in line 3.
std::vector<std::string> TwoSegmentLines() {
    return {MakeHexLinearRecord(0),
            MakeHexDataRecord(0x0000, GetTargetInfo(3).szMarker),
            MakeHexDataRecord(0x0170, "segment 0, page 1"),
            MakeHexLinearRecord(1),
            MakeHexDataRecord(0x0000, "segment 1"),
            MakeHexDataRecord(0x0010, "page 0"),
            MakeHexEofRecord()};
}

}  // namespace

TEST_F(EngineFixture, RewindStopsAtTheSegmentsAddressRecord) {
    const std::vector<std::string> aLines = TwoSegmentLines();
    Load(aLines);
    BeginTransfer();
    AdvanceTo(3);
    m_host.ClearRecords();
    RunOutCountdown();  // an unanswered address record is itself resent
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{aLines[3]});
    AdvanceTo(5);
    m_host.ClearRecords();
    Receive("%");
    Tick();
    // The walk stops on line 2 (page 1), behind the address record of line 3.
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{aLines[3]});
    EXPECT_EQ(m_host.m_strShownStatus, "Line 3 von 7");
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites.back(), aLines[4]);
}

namespace {

struct RunResult {
    bool bSuccess = false;
    int nLineZeroWrites = 0;
};

// One update attempt against a simulated target; replies reach the engine a few bytes per
// fast tick, and a second passes whenever nothing is on its way.
RunResult RunAttempt(CUpdateEngine& engine, CScriptedHost& host, CBootloaderModel& target,
                     const std::string& strFirstLine, std::mt19937& random) {
    RunResult result;
    host.m_strWire.clear();
    host.m_aWrites.clear();
    target.ClearImage();  // only what this attempt wrote may count
    engine.Start(3);
    std::uniform_int_distribution<size_t> chunk(1, 4);
    for (int nSteps = 0; nSteps < 200000 && engine.GetState() != Finished; ++nSteps) {
        if (engine.GetState() == WaitGreeting && host.m_strWire.empty())
            host.m_strWire += target.Greet();
        if (host.m_strWire.empty()) {
            engine.OnTimer(true);
        } else {
            host.Deliver(engine, chunk(random));
            engine.OnTimer(false);
        }
    }
    result.bSuccess = host.m_strStatus == "Update successful";
    for (const std::string& str : host.m_aWrites)
        result.nLineZeroWrites += str == strFirstLine;
    return result;
}

}  // namespace

class CleanUpdate : public ::testing::TestWithParam<int> {};

TEST_P(CleanUpdate, EveryLineGoesOutOnceAndTheTargetHoldsTheImage) {
    const int nType = GetParam();
    CHexImage image;
    image.BuildSignatures();
    const std::vector<std::string> aLines = MakeFirmware(nType, 300);
    LoadLines(image, aLines);
    ASSERT_EQ(image.GetTargetType(), nType);
    CScriptedHost host;
    CBootloaderModel target(nType);
    host.m_pTarget = &target;
    CUpdateEngine engine(image, host);
    engine.InitStartValues();
    std::mt19937 random(static_cast<uint32_t>(nType));
    ASSERT_TRUE(RunAttempt(engine, host, target, aLines[0], random).bSuccess);
    EXPECT_EQ(target.GetAcceptedRecords(), aLines);
    EXPECT_EQ(target.GetImage(), FlashImageOf(aLines));
    EXPECT_EQ(host.m_strErrorCount, "0");
    EXPECT_EQ(host.m_aProgress.back(), 301);
    EXPECT_FALSE(engine.IsBusy());
    EXPECT_EQ(target.GetCounters().nEntries, 1);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, CleanUpdate, ::testing::Range(1, 6));

namespace {

// Two 64 KiB segments, segment 0 ending on page 1 and segment 1 beginning on page 0.
std::vector<std::string> TwoSegmentFirmware() {
    std::vector<std::string> aLines = MakeFirmware(4, 24, 11);
    aLines.pop_back();
    aLines.push_back(MakeHexLinearRecord(1));
    for (int i = 0; i < 12; ++i)
        aLines.push_back(MakeHexDataRecord(static_cast<uint16_t>(0x40 * i), "segment one data"));
    aLines.push_back(MakeHexEofRecord());
    return aLines;
}

}  // namespace

class RandomizedUpdate : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RandomizedUpdate, TargetEndsHoldingExactlyTheImage) {
    const std::vector<std::string>& aLines = GetParam();
    CHexImage image;
    image.BuildSignatures();
    LoadLines(image, aLines);
    ASSERT_EQ(image.GetTargetType(), 4);
    const std::map<uint32_t, uint8_t> expected = FlashImageOf(aLines);
    int nFaultsSeen = 0;
    int nWholePageResends = 0;
    for (uint32_t nSeed = 1; nSeed <= 1000; ++nSeed) {
        BootloaderFaults faults;
        faults.nSeed = nSeed;
        faults.dChecksumError = 0.03;
        faults.dPageError = 0.02;
        faults.dLostReply = 0.01;
        faults.dNoise = 0.05;
        CBootloaderModel target(4, faults);
        CScriptedHost host;
        host.m_pTarget = &target;
        CUpdateEngine engine(image, host);
        engine.InitStartValues();
        std::mt19937 random(nSeed);
        bool bSuccess = false;
        for (int nAttempt = 0; nAttempt < 20 && !bSuccess; ++nAttempt) {
            const RunResult result = RunAttempt(engine, host, target, aLines[0], random);
            bSuccess = result.bSuccess;
            nWholePageResends += result.nLineZeroWrites > 1;
        }
        ASSERT_TRUE(bSuccess) << "seed " << nSeed;
        ASSERT_TRUE(target.GetImage() == expected) << "seed " << nSeed;
        const BootloaderCounters& counters = target.GetCounters();
        nFaultsSeen += counters.nChecksumErrors + counters.nPageErrors + counters.nLostReplies;
    }
    // The faults must actually have happened, whole-page resends included.
    EXPECT_GT(nFaultsSeen, 150);
    EXPECT_GT(nWholePageResends, 10);
}

// The second image lies wholly on page 0, so a whole-page resend reaches its end.
INSTANTIATE_TEST_SUITE_P(Images, RandomizedUpdate,
                         ::testing::Values(TwoSegmentFirmware(), MakeFirmware(4, 6, 5)),
                         [](const auto& info) {
                             return info.index == 0 ? std::string("TwoSegments")
                                                    : std::string("OnePage");
                         });

TEST_F(EngineFixture, AResendHoldsBackTheEndOfFileRecord) {
    Load(MakeFirmware(3, 4));
    BeginTransfer();
    AdvanceTo(3);
    m_host.ClearRecords();
    Receive("-");
    Tick();
    EXPECT_EQ(m_host.m_aWrites.size(), 5u);  // lines 0 to 4, all of page 0
    EXPECT_EQ(m_engine.GetLine(), 4);
    for (int n = 0; n < 5; ++n) {
        Receive("~");
        Tick();
    }
    EXPECT_EQ(m_host.m_aWrites.size(), 6u);
    EXPECT_EQ(m_host.m_aWrites.back(), MakeHexEofRecord());
}
