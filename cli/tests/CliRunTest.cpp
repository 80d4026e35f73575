#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "Firmware.h"
#include "RunCli.h"

namespace {

// The type-1 firmware with the checksum of its sixth line broken.
std::string DamagedFile() {
    std::vector<std::string> aLines = MakeFirmware(1, 40);
    aLines[5].back() = aLines[5].back() == '0' ? '1' : '0';
    return WriteTempFile(JoinLines(aLines, "\n"));
}

// Events of a job: schema 1 each, from job_start to a job_end that carries the exit code.
void ExpectJobEvents(const CliRun& run, const char* szResult) {
    const auto aEvents = run.Events();
    ASSERT_GE(aEvents.size(), 2u) << run.strErr;
    for (const auto& e : aEvents)
        EXPECT_EQ(e.value("schema", 0), 1) << e;
    EXPECT_EQ(aEvents.front()["event"], "job_start");
    EXPECT_EQ(aEvents.back()["event"], "job_end");
    EXPECT_EQ(aEvents.back()["code"], run.nExit);
    EXPECT_EQ(aEvents.back()["result"], szResult);
    const auto aRecords = run.Records();
    ASSERT_EQ(aRecords.size(), 1u);
    EXPECT_EQ(aRecords[0]["exit_code"], run.nExit);
    EXPECT_EQ(aRecords[0]["tool"], "korvi-flash");
}

}  // namespace

TEST(CliRun, EachOutcomeEndsWithItsExitCodeEventsAndRecordAndResendsAreReported) {
    const std::string strGood = FirmwareFile(1, 40);
    const std::string strSample = KORVI_SAMPLES_DIR "/korvi-type1.hex";
    const std::string strNoMarker = WriteTempFile(":0400000001020304F2\n:00000001FF\n");
    auto sim = [](std::vector<std::string> aArgs) {
        aArgs.insert(aArgs.end(), {"--sim-no-wire", "--json"});
        return aArgs;
    };
    struct Case {
        std::vector<std::string> aArgs;
        int nExit;
        const char* szResult;  // nullptr: no job, no record
    };
    const Case aCases[] = {
        {sim({"flash", strSample, "--simulate", "--sim-checksum-errors", "0.005", "--sim-seed",
              "2"}),
         0, "success"},
        {{"flash", strGood, "--port", "/dev/korvi-none", "--json"}, 4, "port_unavailable"},
        {sim({"flash", DamagedFile(), "--simulate"}), 3, "file_refused"},
        {sim({"flash", strNoMarker, "--simulate"}), 3, "file_refused"},
        {sim({"flash", strGood, "--simulate=3", "--wait", "1"}), 5, "no_greeting"},
        {sim({"flash", strGood, "--simulate", "--sim-checksum-errors", "1"}), 6, "target_refused"},
        {sim({"flash", strGood, "--simulate", "--sim-file-error-at", "5"}), 7, "file_error"},
        {sim({"flash", strGood, "--simulate", "--sim-unplug-at", "10"}), 8, "link_lost"},
        {sim({"flash", strGood, "--simulate", "--sim-bogus"}), 2, nullptr},
        {sim({"flash", strGood, "--simulate", "--wait", "soon"}), 2, nullptr},
        {{"flash", "--json"}, 2, nullptr},
        {{"frobnicate"}, 2, nullptr},
    };
    std::vector<CliCall> aCalls;
    for (const Case& c : aCases)
        aCalls.push_back({c.aArgs, {}});
    const std::vector<CliRun> aRuns = RunClis(aCalls);
    for (size_t i = 0; i < aRuns.size(); ++i) {
        const Case& c = aCases[i];
        const CliRun& run = aRuns[i];
        SCOPED_TRACE(c.aArgs.back() + " " + c.aArgs[c.aArgs.size() / 2] + ": " + run.strErr);
        EXPECT_EQ(run.nExit, c.nExit);
        if (c.szResult != nullptr) {
            ExpectJobEvents(run, c.szResult);
        } else {
            EXPECT_TRUE(run.strOut.empty() && run.Records().empty());
        }
    }
    // The success met two resends, as its seed draws them, each with its line and reason.
    int nResends = 0;
    for (const auto& e : aRuns[0].Events()) {
        if (e["event"] != "resend") continue;
        EXPECT_EQ(std::tuple(e["reason"], e["errors"]), std::tuple("checksum", ++nResends));
        EXPECT_TRUE(e["line"] >= 1 && e["line"] <= 258) << e;
    }
    EXPECT_EQ(nResends, 2);
    EXPECT_EQ(aRuns[0].Events().back()["resends"], nResends);
    EXPECT_NE(aRuns[0].strErr.find("resend: line"), std::string::npos);
}

TEST(CliRun, ProgressIsABarOnATerminalAndTenPlainLinesElsewhere) {
    const std::string strFile = FirmwareFile(1, 38);  // 40 lines: every tenth exact
    const std::vector<std::string> aArgs = {"flash", strFile, "--simulate", "--sim-no-wire"};
    std::vector<std::string> aQuiet = aArgs;
    aQuiet.emplace_back("--quiet");
    // Plain; on a terminal coloured, then with NO_COLOR; quiet on a terminal.
    const std::vector<CliRun> aRuns = RunClis({{aArgs, {}},
                                               {aArgs, CliOptions::Terminal()},
                                               {aArgs, CliOptions::Terminal({"NO_COLOR=1"})},
                                               {aQuiet, CliOptions::Terminal()}});
    for (const CliRun& run : aRuns)
        EXPECT_EQ(run.nExit, 0) << run.strErr;
    const std::string& strPlain = aRuns[0].strErr;
    std::vector<int> aPercents;
    const std::regex line(R"((\d+)% \((\d+) of 40 lines\))");
    for (std::sregex_iterator it(strPlain.begin(), strPlain.end(), line), end; it != end; ++it)
        aPercents.push_back(std::stoi((*it)[1]));
    EXPECT_EQ(aPercents, std::vector<int>({10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(strPlain.find_first_of("\r\033"), std::string::npos);
    // On a terminal one bar redrawn in place, coloured unless NO_COLOR is set.
    const std::regex colour("\033\\[[0-9;]*m");
    for (const size_t i : {1, 2}) {
        const std::string& strBar = aRuns[i].strErr;
        EXPECT_NE(strBar.find("40/40 lines 100%"), std::string::npos) << strBar;
        EXPECT_NE(strBar.find('\r'), std::string::npos);
        EXPECT_EQ(strBar.find("% ("), std::string::npos);
        EXPECT_EQ(std::regex_search(strBar, colour), i == 1);
    }
    EXPECT_EQ(aRuns[3].strErr, "");
}

TEST(CliRun, SignalMidTransferClosesEndsWith130AndKeepsTheRecord) {
    const std::string strFile = FirmwareFile(1, 150);  // on the wire at 115200 baud, ~0.6 s
    std::vector<CliCall> aCalls;
    for (const int nSignal : {SIGINT, SIGTERM, SIGHUP})
        aCalls.push_back({{"flash", strFile, "--simulate", "--json"},
                          CliOptions::SignalAfter("\"percent\":5,", nSignal)});
    const std::vector<CliRun> aRuns = RunClis(aCalls);
    for (size_t i = 0; i < aRuns.size(); ++i) {
        const CliRun& run = aRuns[i];
        SCOPED_TRACE(aCalls[i].options.nSignal);
        if (aCalls[i].options.nSignal == SIGHUP) {  // a lost terminal: the device is finished
            EXPECT_EQ(run.nExit, 0) << run.strErr;
            ExpectJobEvents(run, "success");
            EXPECT_EQ(run.Events().back()["lines_sent"], 152);
            continue;
        }
        EXPECT_EQ(run.nExit, 130) << run.strErr;
        ExpectJobEvents(run, "interrupted");
        EXPECT_LT(run.Events().back()["lines_sent"], 150);
    }
}

TEST(CliRun, CheckReportsFileAndLineThenTheSummary) {
    const std::string strBad = DamagedFile();
    const CliRun run = RunCli({"check", FirmwareFile(2, 20), strBad, "--json"});
    EXPECT_EQ(run.nExit, 3);
    EXPECT_NE(run.strErr.find(strBad + ":6: "), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find("type 2, 115200 baud"), std::string::npos);
    const auto aReports = run.Events();
    ASSERT_EQ(aReports.size(), 2u);
    EXPECT_EQ(aReports[0]["valid"], true);
    EXPECT_EQ(aReports[0]["lines"], 22);
    EXPECT_EQ(aReports[1]["valid"], false);
    EXPECT_EQ(aReports[1]["errors"][0]["line"], 6);
    const CliRun missing = RunCli({"check", "/nonexistent.hex", "--json"});
    EXPECT_EQ(missing.nExit, 3);
    EXPECT_EQ(missing.Events().at(0)["readable"], false);
}

TEST(CliRun, HistoryFiltersTheJobLogByFileHashAndPort) {
    const CliOptions state = CliOptions::StateDir((ProcessTempDir() / "history").string());
    const std::string strA = FirmwareFile(1, 10);
    const std::string strB = FirmwareFile(2, 12);
    std::vector<CliCall> aCalls;
    for (const auto& strFile : {strA, strB, strA})
        aCalls.push_back({{"flash", strFile, "--simulate", "--sim-no-wire"}, state});
    aCalls.push_back(
        {{"flash", strA, "--simulate", "--sim-no-wire", "--json", "--dry-run"}, state});
    const std::string strHash = RunClis(aCalls).back().Events().front()["sha256"];
    std::string strPrefix = strHash.substr(0, 10);
    for (char& ch : strPrefix)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::vector<CliRun> aHistory =
        RunClis({{{"history", "--json", "--sha256", strPrefix}, state},
                 {{"history", "--csv", "--port", "COM9"}, state}});
    EXPECT_EQ(aHistory[0].nExit, 0);
    EXPECT_EQ(aHistory[0].Events().size(), 3u);  // two updates and the dry run of file A
    EXPECT_EQ(aHistory[1].strOut.find('\n'), aHistory[1].strOut.size() - 1);  // the header alone
}
