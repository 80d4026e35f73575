#include "EngineFixture.h"

namespace {

class StartAndEntry : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        Load(MakeThreePageImage());
    }
};

}  // namespace

TEST_F(StartAndEntry, IdleStepsDoNothingButCountDown) {
    EXPECT_EQ(m_engine.GetCountdown(), 1);
    Receive("?");
    SecondTick();
    SecondTick();
    EXPECT_EQ(m_engine.GetState(), Idle);
    EXPECT_EQ(m_engine.GetCountdown(), 0);
    EXPECT_EQ(m_engine.GetReceived(), "?");
    EXPECT_TRUE(m_host.m_aWrites.empty());
}

TEST_F(StartAndEntry, StartWithPortClosedChangesNothing) {
    BeginTransfer();
    AdvanceTo(5);
    m_host.m_bOpen = false;
    m_host.ClearRecords();
    m_host.m_nCloses = 0;
    const std::string strStatus = m_host.m_strStatus;
    Receive("x");
    m_engine.Start(3);
    EXPECT_EQ(m_host.m_aMessages, std::vector<std::string>{"COM port not ready!"});
    EXPECT_EQ(m_engine.GetState(), Transfer);
    EXPECT_EQ(m_engine.GetLine(), 5);
    EXPECT_TRUE(m_engine.IsBusy());
    EXPECT_EQ(m_engine.GetReceived(), "x");
    EXPECT_EQ(m_host.m_strStatus, strStatus);
    EXPECT_EQ(m_host.m_nCloses, 0);
    EXPECT_EQ(m_host.m_aModes.size(), 1u);
    EXPECT_TRUE(m_host.m_aProgress.empty());
}

TEST_F(StartAndEntry, StartReopensAtTheTypesSpeedAndAsksForReset) {
    for (int nType : {1, 2, 3, 4, 5, 0}) {
        Load(MakeFirmware(nType, 3));
        m_host.m_aModes.clear();
        m_engine.Start(7);
        ASSERT_EQ(m_host.m_aModes.size(), 1u);
        EXPECT_EQ(m_host.m_aModes[0],
                  nType == 1 || nType == 2 ? "COM7:115200,N,8,1" : "COM7:19200,N,8,1");
    }
    EXPECT_EQ(m_host.m_nCloses, 6);
    EXPECT_EQ(m_engine.GetState(), WaitReady);
    EXPECT_EQ(m_engine.GetCountdown(), 0);
    EXPECT_EQ(m_host.m_strShownStatus, "Start Bootloader");
    EXPECT_EQ(m_host.m_strErrorCount, "0");
    EXPECT_EQ(m_host.m_aProgress.back(), 0);
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    EXPECT_EQ(m_host.m_strShownStatus, "Please reset Korvi device...");
    EXPECT_FALSE(m_engine.IsBusy());
}

TEST_F(StartAndEntry, OnlyTheTypesGreetingWithThePortOpenIsAccepted) {
    m_engine.Start(3);
    Tick();
    Receive("()/\xB0");  // greetings of the other types
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    EXPECT_EQ(m_engine.GetReceived(), "");
    m_host.m_bOpen = false;
    Receive("!");
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    m_host.m_bOpen = true;
    Receive("!");
    Tick();
    EXPECT_EQ(m_engine.GetState(), SendEntry);
    EXPECT_TRUE(m_engine.IsBusy());
    EXPECT_EQ(m_engine.GetCountdown(), 2);
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{"^;]"});
    EXPECT_EQ(m_engine.GetState(), WaitReady);
    EXPECT_EQ(m_engine.GetCountdown(), 3);
}

TEST_F(StartAndEntry, TypeZeroNeverGreetsAndAFailedReopenWaitsForStart) {
    Load(MakeFirmware(0, 3));
    m_engine.Start(3);
    Tick();
    for (int n = 0; n < 256; ++n)
        m_engine.OnReceivedByte(static_cast<uint8_t>(n));
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    Load(MakeThreePageImage());
    m_host.m_bOpenSucceeds = false;
    m_engine.Start(3);
    Tick();
    Receive("!");
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    EXPECT_FALSE(m_engine.IsBusy());
}

TEST_F(StartAndEntry, WaitReadyRepeatsTheEntryAndFallsBackWhenNoReadyComes) {
    EnterWaitReady();
    for (int n = 0; n < 3; ++n) {
        Receive("!");
        Tick();
    }
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>(4, "^;]"));
    EXPECT_EQ(m_engine.GetCountdown(), 3);  // repeats do not extend the wait
    SecondTick();
    SecondTick();
    SecondTick();
    EXPECT_EQ(m_engine.GetState(), WaitReady);
    Tick();
    EXPECT_EQ(m_engine.GetState(), WaitGreeting);
    EXPECT_EQ(m_host.m_strShownStatus, "Please reset Korvi device...");
    EXPECT_FALSE(m_engine.IsBusy());
}

TEST_F(StartAndEntry, ReadyAndGreetingTogetherOnlyStartTheTransfer) {
    EnterWaitReady();
    m_host.ClearRecords();
    Receive("!?");
    Tick();
    EXPECT_EQ(m_engine.GetState(), Transfer);
    ASSERT_EQ(m_host.m_aWrites.size(), 1u);
    EXPECT_EQ(m_host.m_aWrites[0], m_image.GetLine(0));
    EXPECT_EQ(m_host.m_strStatus, "Zeile 0 von 40");
    EXPECT_EQ(m_host.m_strShownStatus, "Please reset Korvi device...");  // no refresh yet
    EXPECT_EQ(m_engine.GetCountdown(), 10);
    Tick();
    EXPECT_EQ(m_host.m_strShownStatus, "Zeile 0 von 40");
}

TEST_F(StartAndEntry, GreetingOnASecondTickLeavesOneSecondThenFehler) {
    m_engine.Start(3);
    Tick();
    Receive("!");
    SecondTick();  // accepted with 2, the tick's own decrement leaves 1
    EXPECT_EQ(m_engine.GetCountdown(), 1);
    Tick();
    EXPECT_EQ(m_engine.GetState(), SendEntry);
    EXPECT_TRUE(m_host.m_aWrites.empty());
    SecondTick();
    Tick();
    EXPECT_EQ(m_host.m_strShownStatus, "Fehler");
    EXPECT_FALSE(m_engine.IsBusy());
    EXPECT_EQ(m_engine.GetState(), SendEntry);
    const size_t nRefreshes = static_cast<size_t>(m_host.m_nRefreshes);
    Tick();
    EXPECT_EQ(static_cast<size_t>(m_host.m_nRefreshes), nRefreshes + 1);
    EXPECT_EQ(m_host.m_aStatusHistory.back(), "Fehler");
}

TEST_F(StartAndEntry, AWaitOfTenRunsOutWithTheTenthDecrement) {
    BeginTransfer();
    for (int n = 0; n < 9; ++n)
        SecondTick();
    EXPECT_EQ(m_engine.GetCountdown(), 1);
    EXPECT_EQ(m_host.m_strErrorCount, "0");
    SecondTick();  // this step still sees 1; its decrement leaves 0
    EXPECT_EQ(m_host.m_strErrorCount, "0");
    Tick();
    EXPECT_EQ(m_host.m_strErrorCount, "1");
    EXPECT_EQ(m_engine.GetCountdown(), 5);
}

using Transferring = ThreePageTransfer;

TEST_F(Transferring, EachTildeSendsTheNextLine) {
    m_host.ClearRecords();
    Receive("~x~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{m_image.GetLine(1)});
    EXPECT_EQ(m_host.m_strShownStatus, "Line 1 of 40");
    EXPECT_EQ(m_host.m_aProgress, std::vector<int>{1});
    EXPECT_EQ(m_engine.GetReceived(), "");
    Receive("x");  // no reply character: the text waits and grows
    Tick();
    EXPECT_EQ(m_engine.GetReceived(), "x");
    EXPECT_EQ(m_host.m_aWrites.size(), 1u);
}

namespace {

// Each step answers line nLine (after "~" up to it); "T" first lets the wait run out.
struct FailureRun {
    const char* szName;
    std::vector<std::pair<int, std::string>> aSteps;
    const char* szText;
    const char* szCount;
};

class Failure : public ThreePageTransfer, public ::testing::WithParamInterface<FailureRun> {};

}  // namespace

TEST_P(Failure, EndsWithItsTextCountAndProgressZero) {
    for (const auto& [nLine, strReply] : GetParam().aSteps) {
        AdvanceTo(nLine);
        if (!strReply.empty() && strReply[0] == 'T') RunOutCountdown();
        Receive(strReply[0] == 'T' ? strReply.substr(1) : strReply);
        Tick();
    }
    EXPECT_EQ(m_engine.GetState(), Finished);
    EXPECT_FALSE(m_engine.IsBusy());
    EXPECT_EQ(m_host.m_strShownStatus, GetParam().szText);
    EXPECT_EQ(m_host.m_strErrorCount, GetParam().szCount);
    EXPECT_EQ(m_host.m_aProgress.back(), 0);
}

// "-" decides before "%", and an error before a "~" of the same step.
INSTANTIATE_TEST_SUITE_P(
    Transfer, Failure,
    ::testing::Values(
        FailureRun{
            "Checksum", {{0, "-"}, {0, "-"}, {0, "-"}}, "Checksum Error! Please try again!", "3"},
        FailureRun{"Page", {{0, "%"}, {0, "%~"}, {0, "%"}}, "Page Error! Please try again!", "3"},
        FailureRun{"ChecksumBeforePage",
                   {{0, "%"}, {0, "%"}, {0, "-%"}},
                   "Checksum Error! Please try again!",
                   "3"},
        FailureRun{"Timeout", {{0, "T"}, {0, "T"}, {0, "T"}}, "Fault! Please try again!", "3"},
        FailureRun{
            "Accumulated", {{3, "-"}, {8, "T"}, {12, "%"}}, "Page Error! Please try again!", "3"},
        FailureRun{"TimeoutAndChecksumInOneStep",
                   {{0, "-"}, {0, "-"}, {0, "T-"}},
                   "Checksum Error! Please try again!",
                   "4"},
        FailureRun{"FileErrorUncounted", {{4, "#~"}}, "File Error!", "0"}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST_F(Transferring, RepliesAfterTheLastLine) {
    AdvanceTo(39);
    m_host.ClearRecords();
    Receive("~");
    Tick();
    EXPECT_TRUE(m_host.m_aWrites.empty());
    EXPECT_EQ(m_engine.GetLine(), 40);
    EXPECT_EQ(m_host.m_aProgress, std::vector<int>{40});
    EXPECT_EQ(m_host.m_strShownStatus, "Line 40 of 40");
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_strShownStatus, "Line 41 of 40");
    Receive("@");
    Tick();
    EXPECT_EQ(m_engine.GetState(), Finished);
    EXPECT_EQ(m_host.m_strShownStatus, "Update successful");
    EXPECT_FALSE(m_engine.IsBusy());
    EXPECT_EQ(m_host.m_aProgress.back(), 41);  // success leaves the bar where it is
}

TEST_F(EngineFixture, OneLineAndEmptyImages) {
    // A "?" that arrives after Start starts the transfer even without a greeting.
    Load({MakeHexEofRecord()});
    m_engine.Start(3);
    Receive("?");
    Tick();
    ASSERT_EQ(m_engine.GetState(), Transfer);
    EXPECT_EQ(m_host.m_aWrites, std::vector<std::string>{MakeHexEofRecord()});
    Receive("~");
    Tick();
    EXPECT_EQ(m_host.m_aWrites.size(), 1u);
    EXPECT_EQ(m_host.m_strShownStatus, "Line 1 of 1");
    Receive("@");
    Tick();
    EXPECT_EQ(m_host.m_strShownStatus, "Update successful");

    Load({});
    m_host.ClearRecords();
    m_engine.Start(3);
    Receive("?");
    Tick();
    ASSERT_EQ(m_engine.GetState(), Transfer);
    EXPECT_EQ(m_host.m_strStatus, "Zeile 0 von 0");
    RunOutCountdown();
    Tick();
    EXPECT_TRUE(m_host.m_aWrites.empty());
    EXPECT_EQ(m_host.m_strErrorCount, "1");
    EXPECT_EQ(m_engine.GetCountdown(), 5);
}
