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

TEST(CliRun, EachOutcomeEndsWithItsExitCodeEventsAndRecord) {
    const std::string strGood = FirmwareFile(1, 40);
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
        {sim({"flash", strGood, "--simulate"}), 0, "success"},
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
    for (const Case& c : aCases) {
        const CliRun run = RunCli(c.aArgs);
        SCOPED_TRACE(c.aArgs.back() + " " + c.aArgs[c.aArgs.size() / 2] + ": " + run.strErr);
        EXPECT_EQ(run.nExit, c.nExit);
        if (c.szResult != nullptr) {
            ExpectJobEvents(run, c.szResult);
        } else {
            EXPECT_TRUE(run.strOut.empty() && run.Records().empty());
        }
    }
}

TEST(CliRun, ResendsAreReportedWithLineAndReasonAndCounted) {
    const std::string strSample = KORVI_SAMPLES_DIR "/korvi-type1.hex";
    const CliRun run = RunCli({"flash", strSample, "--simulate", "--sim-no-wire", "--json",
                               "--sim-checksum-errors", "0.005", "--sim-seed", "2"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    int nResends = 0;
    for (const auto& e : run.Events()) {
        if (e["event"] != "resend") continue;
        ++nResends;
        EXPECT_EQ(e["reason"], "checksum");
        EXPECT_EQ(e["errors"], nResends);
        EXPECT_GE(e["line"], 1);
        EXPECT_LE(e["line"], 258);
    }
    EXPECT_EQ(nResends, 2);  // as this seed draws them
    EXPECT_EQ(run.Events().back()["resends"], nResends);
    EXPECT_NE(run.strErr.find("resend: line"), std::string::npos);
}

TEST(CliRun, ProgressIsABarOnATerminalAndTenPlainLinesElsewhere) {
    const std::string strFile = FirmwareFile(1, 38);  // 40 lines: every tenth exact
    const std::vector<std::string> aArgs = {"flash", strFile, "--simulate", "--sim-no-wire"};

    const CliRun plain = RunCli(aArgs);
    ASSERT_EQ(plain.nExit, 0) << plain.strErr;
    std::vector<int> aPercents;
    const std::regex line(R"((\d+)% \((\d+) of 40 lines\))");
    for (std::sregex_iterator it(plain.strErr.begin(), plain.strErr.end(), line), end; it != end;
         ++it)
        aPercents.push_back(std::stoi((*it)[1]));
    EXPECT_EQ(aPercents, std::vector<int>({10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(plain.strErr.find_first_of("\r\033"), std::string::npos);
    // On a terminal one bar redrawn in place, coloured unless NO_COLOR is set; --quiet: nothing.
    const std::regex colour("\033\\[[0-9;]*m");
    for (const bool bColour : {true, false}) {
        const CliRun bar =
            RunCli(aArgs, CliOptions::Terminal(std::vector<std::string>(!bColour, "NO_COLOR=1")));
        EXPECT_EQ(bar.nExit, 0);
        EXPECT_NE(bar.strErr.find("40/40 lines 100%"), std::string::npos) << bar.strErr;
        EXPECT_NE(bar.strErr.find('\r'), std::string::npos);
        EXPECT_EQ(bar.strErr.find("% ("), std::string::npos);
        EXPECT_EQ(std::regex_search(bar.strErr, colour), bColour);
    }
    const CliRun quiet = RunCli({"flash", strFile, "--simulate", "--sim-no-wire", "--quiet"},
                                CliOptions::Terminal());
    EXPECT_EQ(quiet.nExit, 0);
    EXPECT_EQ(quiet.strErr, "");
}

TEST(CliRun, SignalMidTransferClosesEndsWith130AndKeepsTheRecord) {
    const std::string strFile = FirmwareFile(3, 300);  // 19200 baud, about 1.4 s
    for (const int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        const CliRun run = RunCli({"flash", strFile, "--simulate", "--json"},
                                  CliOptions::SignalAfter("\"percent\":5,", nSignal));
        SCOPED_TRACE(nSignal);
        if (nSignal == SIGHUP) {  // a lost terminal: the device is finished, not abandoned
            EXPECT_EQ(run.nExit, 0) << run.strErr;
            ExpectJobEvents(run, "success");
            continue;
        }
        EXPECT_EQ(run.nExit, 130) << run.strErr;
        ExpectJobEvents(run, "interrupted");
        EXPECT_LT(run.Events().back()["lines_sent"], 300);
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
}

TEST(CliRun, HistoryFiltersTheJobLogByFileHashAndPort) {
    const std::string strState = (ProcessTempDir() / "history").string();
    const std::string strA = FirmwareFile(1, 10);
    const std::string strB = FirmwareFile(2, 12);
    for (const auto& strFile : {strA, strB, strA})
        RunCli({"flash", strFile, "--simulate", "--sim-no-wire"}, CliOptions::StateDir(strState));
    const CliRun a = RunCli({"flash", strA, "--simulate", "--sim-no-wire", "--json", "--dry-run"},
                            CliOptions::StateDir(strState));
    const std::string strHash = a.Events().front()["sha256"];
    const CliRun hist = RunCli({"history", "--json", "--sha256", strHash.substr(0, 10)},
                               CliOptions::StateDir(strState));
    EXPECT_EQ(hist.nExit, 0);
    EXPECT_EQ(hist.Events().size(), 3u);  // two updates and the dry run of file A
    const CliRun none =
        RunCli({"history", "--csv", "--port", "COM9"}, CliOptions::StateDir(strState));
    EXPECT_EQ(none.strOut.find('\n'), none.strOut.size() - 1);  // the header alone
}
