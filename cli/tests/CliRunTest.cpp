#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>

#include "Firmware.h"
#include "RunCli.h"

namespace fs = std::filesystem;

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

TEST(CliRun, EachOutcomeEndsWithItsExitCodeMessageEventsAndRecordAndResendsAreReported) {
    const std::string strGood = FirmwareFile(1, 40);
    const std::string strSample = KORVI_SAMPLES_DIR "/korvi-type1.hex";
    const std::string strNoMarker = WriteTempFile(":0400000001020304F2\n:00000001FF\n");
    auto sim = [](const std::string& strFile, std::vector<std::string> aMore) {
        aMore.insert(aMore.begin(), {"flash", strFile, "--simulate", "--sim-no-wire", "--json"});
        return aMore;
    };
    struct Case {
        std::vector<std::string> aArgs;
        int nExit;
        const char* szResult;  // nullptr: no job, no record
        const char* szSays;    // on stderr
    };
    const Case aCases[] = {
        {sim(strSample, {"--sim-checksum-errors", "0.005", "--sim-seed", "2"}), 0, "success",
         "resend: line"},
        {{"flash", strGood, "--port", "/dev/korvi-no", "--json"}, 4, "port_unavailable", "no such"},
        {sim(DamagedFile(), {}), 3, "file_refused", "nothing was sent"},
        {sim(strNoMarker, {}), 3, "file_refused", "Unknown file!"},
        {sim(strGood, {"--simulate=3", "--wait", "1"}), 5, "no_greeting", "within 1 s"},
        // Greets, but its "ready" never comes: the reset asked for again does not extend --wait.
        {sim(strGood, {"--sim-lost-replies", "1", "--wait", "1"}), 6, "target_refused",
         "did not take the entry"},
        {sim(strGood, {"--sim-checksum-errors", "1"}), 6, "target_refused", "Checksum Error!"},
        {sim(strGood, {"--sim-file-error-at", "5"}), 7, "file_error", "at line 6"},
        {sim(strGood, {"--sim-unplug-at", "10"}), 8, "link_lost", "lost"},
        {sim(strGood, {"--sim-bogus"}), 2, nullptr, "--sim-bogus"},
        {sim(strGood, {"--wait", "soon"}), 2, nullptr, "--wait takes"},
        {{"flash", "--json"}, 2, nullptr, "one FILE"},
        {{"frobnicate"}, 2, nullptr, "usage:"},
        {{"check", "/nonexistent.hex"}, 3, nullptr, "cannot read the file"},
        // A station refuses what it cannot run before any slot starts.
        {{"gang", strGood, "--slots", WriteTempFile("A /dev/x\nB\n")}, 2, nullptr, ":2: slot B"},
        {{"gang", strGood, "--port", "A=/dev/x", "--port", "A=/dev/y"}, 2, nullptr, "two slots"},
        {{"gang", strGood, "--port", "A=/dev/x", "--port", "B=/dev/x"}, 2, nullptr, "slot B names"},
        {{"gang", strGood, "--port", "A=", "--port", "/dev/x"}, 2, nullptr, "slot A has no port"},
        {{"gang", strGood, "--port", "A=com3", "--watch"}, 2, nullptr, "slot A names com3, which"},
        {{"gang", strGood, "--simulate", "--count", "2"}, 2, nullptr, "need --watch"},
        {{"gang", DamagedFile(), "--simulate"}, 3, nullptr, "nothing was sent"},
    };
    // Whatever a run puts in the temporary folder, it takes away, refused or not.
    const fs::path tmp = ProcessTempDir() / "outcomes-tmp";
    fs::create_directories(tmp);
    std::vector<CliCall> aCalls;
    for (const Case& c : aCases)
        aCalls.push_back({c.aArgs, {.aEnv = {"TMPDIR=" + tmp.string()}}});
    const std::vector<CliRun> aRuns = RunClis(aCalls);
    EXPECT_TRUE(fs::is_empty(tmp));
    for (size_t i = 0; i < aRuns.size(); ++i) {
        const Case& c = aCases[i];
        const CliRun& run = aRuns[i];
        SCOPED_TRACE(c.aArgs.back() + " " + c.aArgs[c.aArgs.size() / 2] + ": " + run.strErr);
        EXPECT_EQ(run.nExit, c.nExit);
        EXPECT_NE(run.strErr.find(c.szSays), std::string::npos);
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
    // The record is dated when the greeting was taken, as the window's are: after the reset was
    // asked for, before any resend; its duration runs from there.
    const auto aEvents = aRuns[0].Events();
    auto First = [&](const char* szEvent) {
        const auto it = std::find_if(aEvents.begin(), aEvents.end(),
                                     [&](const auto& e) { return e["event"] == szEvent; });
        return it == aEvents.end() ? decltype(aEvents)::value_type() : *it;
    };
    const auto record = aRuns[0].Records()[0];
    EXPECT_GE(record["time"], First("waiting_for_reset")["time"]);
    EXPECT_LE(record["time"], First("resend")["time"]);
    EXPECT_LT(record["duration_s"], aEvents.back()["duration_s"]);
}

TEST(CliRun, ProgressIsABarOnATerminalAndTenPlainLinesElsewhere) {
    const std::string strFile = FirmwareFile(1, 38);  // 40 lines: every tenth exact
    const std::vector<std::string> aArgs = {"flash", strFile, "--simulate", "--sim-no-wire"};
    const std::vector<std::string> aQuiet = {"flash", strFile, "--simulate", "--quiet"};
    // Plain; on a terminal coloured, then with NO_COLOR; quiet on a terminal.
    const std::vector<CliRun> aRuns =
        RunClis({{aArgs, {}},
                 {aArgs, {.bErrTerminal = true}},
                 {aArgs, {.bErrTerminal = true, .aEnv = {"NO_COLOR=1"}}},
                 {aQuiet, {.bErrTerminal = true}}});
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
    for (const size_t i : {1, 2}) {
        const std::string& strBar = aRuns[i].strErr;
        EXPECT_NE(strBar.find("40/40 lines 100%"), std::string::npos) << strBar;
        EXPECT_NE(strBar.find('\r'), std::string::npos);
        EXPECT_EQ(strBar.find("% ("), std::string::npos);
        EXPECT_EQ(std::regex_search(strBar, std::regex("\033\\[[0-9;]*m")), i == 1);
    }
    EXPECT_EQ(aRuns[3].strErr, "");
}

TEST(CliRun, SignalMidTransferClosesEndsWith130AndKeepsTheRecord) {
    const std::string strFile = FirmwareFile(1, 150);  // on the wire at 115200 baud, ~0.6 s
    std::vector<CliCall> aCalls;
    for (const int nSignal : {SIGINT, SIGTERM, SIGHUP})
        aCalls.push_back({{"flash", strFile, "--simulate", "--json"},
                          {.strSignalAfter = "\"percent\":5,", .nSignal = nSignal}});
    // Once the last line is confirmed the job only closes its port: there is nothing to stop.
    aCalls.push_back({{"gang", strFile, "--simulate", "--sim-slots", "1", "--json"},
                      {.strSignalAfter = "\"percent\":100,", .nSignal = SIGINT}});
    const std::vector<CliRun> aRuns = RunClis(aCalls);
    const CliRun& gang = aRuns.back();
    EXPECT_EQ(gang.nExit, 0) << gang.strErr;
    EXPECT_EQ(gang.Events().back()["stopped"], nullptr);
    for (size_t i = 0; i + 1 < aRuns.size(); ++i) {
        SCOPED_TRACE(std::to_string(aCalls[i].options.nSignal) + ": " + aRuns[i].strErr);
        const bool bHangUp = aCalls[i].options.nSignal == SIGHUP;  // the update goes on
        EXPECT_EQ(aRuns[i].nExit, bHangUp ? 0 : 130);
        ExpectJobEvents(aRuns[i], bHangUp ? "success" : "interrupted");
        const int nSent = aRuns[i].Events().back()["lines_sent"];
        EXPECT_TRUE(bHangUp ? nSent == 152 : nSent < 150) << nSent;
    }
}

TEST(CliRun, CheckReportsFileAndLineThenTheSummary) {
    const std::string strBad = DamagedFile();
    const CliRun run = RunCli({"check", FirmwareFile(2, 20), strBad, "/nonexistent.hex", "--json"});
    EXPECT_EQ(run.nExit, 3);
    EXPECT_NE(run.strErr.find(strBad + ":6: "), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find("type 2, 115200 baud"), std::string::npos);
    const auto aReports = run.Events();
    ASSERT_EQ(aReports.size(), 3u);
    EXPECT_EQ(std::tie(aReports[0]["valid"], aReports[0]["lines"]), std::tuple(true, 22));
    EXPECT_EQ(std::tie(aReports[1]["valid"], aReports[1]["errors"][0]["line"]),
              std::tuple(false, 6));
    EXPECT_EQ(aReports[2]["readable"], false);
}
