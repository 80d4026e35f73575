#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "TestSupport.h"

namespace {

// Line 0 is a data record, the end-of-file record follows.
std::vector<std::string> DataThenEnd() {
    return {MakeFirmware(3, 1)[1], MakeHexEofRecord()};
}

// A second segment whose address record sits mid-page: every line lies on page 0.
std::vector<std::string> MidPageSegment() {
    std::vector<std::string> a = MakeFirmware(3, 4);
    a.insert(a.begin() + 3, MakeHexLinearRecord(1));
    return a;
}

// An engine with a recorded host, driven by a script in which the test plays the target:
//   S Start(3)   t fast tick   T one-second tick   W let the wait run out   q a quiet wait
//   a<n> answer "~" until line n has gone out   g the greeting   c port closed
//   B start, greeting, entry and "?": line 0 has gone out   | forget what was recorded
//   L shrink the image to 7 lines   M load MidPageSegment()   D load DataThenEnd()
//   N load no lines   anything else: a received byte
class Engine : public ::testing::Test {
protected:
    // Unless a test loads another, 40 lines: an extended address record (page 0), 16 data
    // records each on pages 0x00 and 0x01, 6 on page 0x02, then the end-of-file record (page 0).
    Engine() { Load(MakeFirmware(3, 38)); }
    void Load(const std::vector<std::string>& aLines) { m_image = ImageOf(aLines); }
    void Drive(std::string_view strScript) {
        const std::map<char, std::function<void()>> commands{
            {'S', [&] { m_engine.Start(3); }},
            {'t', [&] { m_engine.OnTimer(false); }},
            {'T', [&] { m_engine.OnTimer(true); }},
            {'q', [&] { Drive(std::string(CUpdateEngine::kQuietTicks, 't')); }},
            {'B', [&] { Drive("Stgtt?t"); }},
            {'c', [&] { m_host.m_bOpen = false; }},
            {'L', [&] { Load(MakeFirmware(3, 5)); }},
            {'M', [&] { Load(MidPageSegment()); }},
            {'N', [&] { Load({}); }},
            {'D', [&] { Load(DataThenEnd()); }},
            {'|', [&] { m_host.ClearRecords(); }},
            {'g', [&] { m_engine.OnReceivedByte(GetTargetInfo(3).nGreeting); }},
            {'W', [&] { Drive(std::string(m_engine.GetCountdown(), 'T')); }}};
        for (size_t i = 0; i < strScript.size(); ++i) {
            const char ch = strScript[i];
            if (ch == 'a') {
                size_t nDigits = 0;
                const int nLine = std::stoi(std::string(strScript.substr(i + 1)), &nDigits);
                i += nDigits;
                while (m_engine.GetLine() < nLine && m_engine.GetState() == Transfer)
                    Drive("~tq");
            } else if (const auto it = commands.find(ch); it != commands.end()) {
                it->second();
            } else {
                m_engine.OnReceivedByte(static_cast<uint8_t>(ch));
            }
        }
    }
    // Line indices of the writes recorded ("E": the entry sequence).
    std::string Writes() const {
        const std::vector<std::string> aLines = LinesOf(m_image);
        std::vector<int> a;
        for (const std::string& str : m_host.m_aWrites)
            a.push_back(str == "^;]" ? -1 : std::ranges::find(aLines, str) - aLines.begin());
        return Runs(a);
    }
    // "3 4 5 9" reads "3-5 9".
    static std::string Runs(const std::vector<int>& a) {
        std::string str;
        for (size_t i = 0, j = 0; i < a.size(); i = j) {
            for (j = i + 1; j < a.size() && a[j] == a[j - 1] + 1;)
                ++j;
            str += (str.empty() ? "" : " ") + (a[i] < 0 ? "E" : std::to_string(a[i]));
            if (j - i > 2) str += "-" + std::to_string(a[j - 1]);
            if (j - i == 2) str += " " + std::to_string(a[i + 1]);
        }
        return str;
    }

    CHexImage m_image;
    CScriptedHost m_host;
    CUpdateEngine m_engine{m_image, m_host};
};

// The worked example of resends: the rewind stops on the last line of the preceding page, or
// at line 0; every line written is answered before the line after the last one goes out.
// Before the error, lines written, progress positions, last line written.
using ResendRow = std::tuple<std::string, std::string, std::string, int>;
class ResendExample : public Engine,
                      public ::testing::WithParamInterface<std::tuple<ResendRow, std::string>> {};

struct Row {
    const char* szName;
    const char* szScript;
    const char* szWrites;  // since the last "|"
    const char* szShown;
    int nErrors;
    int32_t nState;
    friend void PrintTo(const Row& row, std::ostream* pOut) { *pOut << row.szName; }
};

class Script : public Engine, public ::testing::WithParamInterface<Row> {};

}  // namespace

TEST_P(ResendExample, RewindsToThePageBoundary) {
    const auto& [strBefore, strWritten, strProgress, nLast] = std::get<0>(GetParam());
    Drive("B" + strBefore + "|" + std::get<1>(GetParam()) + "tq");
    EXPECT_EQ(Writes(), strWritten);
    EXPECT_EQ(Runs(m_host.m_aProgress), strProgress);
    EXPECT_EQ(m_host.m_strShownStatus, "Line " + std::to_string(nLast) + " von 40");
    EXPECT_EQ(m_host.m_strErrorCount, "1");
    EXPECT_EQ(m_engine.GetCountdown(), 5);
    const size_t nWritten = m_host.m_aWrites.size();
    m_host.ClearRecords();
    for (size_t n = 1; n < nWritten; ++n)
        Drive("~t");
    EXPECT_EQ(Writes(), "");
    Drive("~tq");
    EXPECT_EQ(Writes(), std::to_string(nLast + 1));
}

INSTANTIATE_TEST_SUITE_P(ThreePages, ResendExample,
                         ::testing::Combine(::testing::Values(ResendRow("a20", "16", "", 16),
                                                              ResendRow("a17", "16", "", 16),
                                                              ResendRow("a33", "32", "", 32),
                                                              ResendRow("a5", "0-17", "1-17", 17),
                                                              ResendRow("a39~t", "38", "", 38)),
                                            ::testing::Values("-", "%", "W")));

TEST_P(Script, EndsAsExpected) {
    const Row& row = GetParam();
    m_engine.InitStartValues();
    Drive(row.szScript);
    EXPECT_EQ(Writes(), row.szWrites);
    EXPECT_EQ(m_host.m_strShownStatus, row.szShown);
    EXPECT_EQ(m_host.m_strErrorCount, std::to_string(row.nErrors));
    EXPECT_EQ(m_engine.GetState(), row.nState);
    const bool bIdle = m_engine.GetState() == Finished || m_engine.GetState() <= WaitGreeting;
    EXPECT_FALSE(bIdle && m_engine.IsBusy());
    const bool bClosed = std::string_view(row.szScript).find("cS") != std::string_view::npos;
    EXPECT_EQ(m_host.m_aMessages, std::vector<std::string>(bClosed, "COM port not ready!"));
    if (m_engine.GetState() == Finished && row.szShown != std::string("Update successful")) {
        ASSERT_FALSE(m_host.m_aProgress.empty());
        EXPECT_EQ(m_host.m_aProgress.back(), 0);
    }
}

const char* const kReset = "Please reset Korvi device...";
const char* const kChecksum = "Checksum Error! Please try again!";

// Start and entry, the endings, and the faults mended since the protocol was first written.
INSTANTIATE_TEST_SUITE_P(
    Engine, Script,
    ::testing::Values(
        Row{"StartWithThePortClosedChangesNothing", "Ba5|cS", "", "Line 5 of 40", 0, Transfer},
        Row{"OtherGreetingsOrPortClosed", "St()/\xB0tctgt", "", kReset, 0, WaitGreeting},
        Row{"EntryRepeats", "Stgttgtgtgt", "E E E E", kReset, 0, WaitReady},
        Row{"NoReadyBackToGreeting", "Stgttgt|TTTt", "", kReset, 0, WaitGreeting},
        Row{"ReadyBeatsGreetingShownLater", "Stgtt|g?t", "0", kReset, 0, Transfer},
        Row{"GreetingOnASecondTickEntryOnTheNext", "StgTtgt", "E", kReset, 0, WaitReady},
        Row{"GreetingOnASecondTickThenFehler", "StgTtTt", "", "Fehler", 0, SendEntry},
        Row{"NineSecondsAreNotTen", "B|TTTTTTTTTt", "", "Zeile 0 von 40", 0, Transfer},
        Row{"TenSecondsAre", "B|TTTTTTTTTTtq", "0-17", "Line 17 von 40", 1, Transfer},
        Row{"PageTildeInTheSameStep", "B%tq%~tq|%t", "", "Page Error! Please try again!", 3,
            Finished},
        Row{"ChecksumBeforePage", "B%tq%tq|-%t", "", kChecksum, 3, Finished},
        Row{"ThirdTimeoutEvenWithATilde", "BWtqWtq|W~t", "", "Fault! Please try again!", 3,
            Finished},
        Row{"TimeoutAndChecksumInOneStep", "B-tq-tq|W-t", "", kChecksum, 4, Finished},
        Row{"FileErrorUncounted", "Ba4|#~t", "", "File Error!", 0, Finished},
        Row{"RepliesPastTheLastLine", "Ba39|~t~t", "", "Line 41 of 40", 0, Transfer},
        Row{"NoLines", "NS?tWtq", "", "Zeile 0 von 0", 1, Transfer},
        // Mended: a resend used to skip the line after the last one it wrote.
        Row{"NoLineSkippedAfterResends", "Ba20-tqa23Wtq|a39", "17-39", "Line 39 of 40", 2,
            Transfer},
        // Mended: "@" in the step that finds the wait run out used to be overwritten.
        Row{"SuccessInATimeoutStepStands", "Ba39|W@t", "", "Update successful", 0, Finished},
        // Mended: bytes from before Start used to drive the new run.
        Row{"StaleBytesIgnored", "Ba39@t?g~S|t", "", kReset, 0, WaitGreeting},
        // Mended: rewinds and replies past the end, and a shrunk image, read lines not there.
        Row{"RewindFromPastTheEnd", "Ba39~t~t~t|Wtq", "38", "Line 38 von 40", 1, Transfer},
        Row{"ImageShrunkUnderTheRun", "Ba30L|-tq~t", "6", "Line 7 of 7", 1, Transfer},
        // Resent, lines before a mid-page address record would land in its new segment.
        Row{"RewindStopsAtTheAddressRecord", "MBa5|-tq", "3-5", "Line 5 von 7", 1, Transfer},
        // Resent from line 0, the end-of-file record right after it still waits for its answer.
        Row{"BurstFromLineZeroStopsAtTheEnd", "DB|-tq", "0", "Line 0 von 2", 1, Transfer},
        // A reply held past the wait is discarded, not taken for the resent line's answer.
        Row{"LateReplyDiscarded", "Ba20|Wt~tq", "16", "Line 16 von 40", 1, Transfer}),
    [](const auto& info) { return std::string(info.param.szName); });

// Noise neither grows the received text nor hides a reply among it, and it holds a resend
// back for the settling limit at most, though the line never falls quiet.
TEST_F(Engine, NoiseIsBoundedInSpaceAndTime) {
    for (int n = 0; n < 100000; ++n)
        m_engine.OnReceivedByte(static_cast<uint8_t>(n * 7));
    EXPECT_LE(m_engine.GetReceived().size(), 256u);
    Drive("B|");
    for (int n = 0; n < 10000; ++n)
        Drive("xyz");
    Drive("~xyztq");
    EXPECT_EQ(Writes(), "1");
    Drive("a20|-t");
    for (int n = 1; n < CUpdateEngine::kMaxSettleTicks; ++n)
        Drive("xt");
    EXPECT_EQ(Writes(), "");
    Drive("xt");
    EXPECT_EQ(Writes(), "16");
}
