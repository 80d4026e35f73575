#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "Firmware.h"
#include "HexRecord.h"
#include "JobRecord.h"
#include "RunCli.h"
#include "SimTarget.h"
#include "TestKit.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Boards on a station whose sockets are links in a by-path folder of their own.
fs::path SocketDir(const std::string& strName) {
    fs::path dir = ProcessTempDir() / strName / "serial/by-path";
    fs::create_directories(dir);
    return dir;
}

std::unique_ptr<CSimTarget> Board(const fs::path& link, bool bRefuseAll = false) {
    SimTargetOptions o;
    o.faults.dChecksumError = bRefuseAll ? 1.0 : 0.0;
    o.strLink = link.string();
    o.nGreetEveryMs = 100;
    o.bWire = true;
    auto p = std::make_unique<CSimTarget>(o);
    EXPECT_TRUE(p->Start());
    return p;
}

std::map<std::string, nlohmann::json> BySlot(const std::vector<nlohmann::json>& a,
                                             const char* szEvent) {
    std::map<std::string, nlohmann::json> m;
    for (const auto& e : a) {
        if (e["event"] == szEvent) m[e["slot"]] = e;
    }
    return m;
}

}  // namespace

TEST(Gang, SlotsEndOnTheirOwnAndTheStationSucceedsOnlyWhenEverySlotDid) {
    // Two good boards, one that refuses every record, one pulled after its 20th record.
    const std::vector<std::string> aLines = MakeFirmware(1, 150);
    const std::string strFile = WriteTempFile(JoinLines(aLines, "\r\n"));
    const fs::path dir = SocketDir("mixed");
    std::vector<std::unique_ptr<CSimTarget>> aBoards;
    for (const char* sz : {"a", "b", "c", "d"})
        aBoards.push_back(Board(dir / sz, *sz == 'c'));
    std::atomic<bool> bDone{false};
    std::thread puller([&] {
        PollUntil([&] { return bDone || aBoards[3]->Counters().nRecords >= 20; }, 20000);
        aBoards[3]->HangUp();
    });
    std::vector<std::string> aArgs = {"gang", strFile, "--json"};
    for (const char* sz : {"a", "b", "c", "d"})
        aArgs.insert(aArgs.end(), {"--port", std::string(sz) + "=" + (dir / sz).string()});
    const CliRun run = RunCli(aArgs, CliOptions::Terminal());
    bDone = true;
    puller.join();

    EXPECT_EQ(run.nExit, 9) << run.strErr;
    // Each slot's own end, and the same codes in the station's summary.
    const std::map<std::string, int> expected = {{"a", 0}, {"b", 0}, {"c", 6}, {"d", 8}};
    const auto aEvents = run.Events();
    std::map<std::string, int> ends, summary;
    for (const auto& [strSlot, e] : BySlot(aEvents, "job_end"))
        ends[strSlot] = e["code"];
    for (const auto& s : aEvents.back()["slots"])
        summary[s["slot"]] = s["code"];
    EXPECT_EQ(ends, expected);
    EXPECT_EQ(summary, expected);
    for (const auto& r : run.Records()) {
        EXPECT_EQ(r["exit_code"], expected.at(r["slot"])) << r;
        EXPECT_EQ(r["by_path"], (dir / r["slot"].get<std::string>()).string());
    }
    EXPECT_EQ(aBoards[0]->Image(), FlashImageOf(aLines));
    EXPECT_EQ(aBoards[1]->Image(), FlashImageOf(aLines));
    // The board redrawn in place, then the summary.
    EXPECT_NE(run.strErr.find("\033[5A"), std::string::npos);
    EXPECT_NE(run.strErr.find("target_refused: Checksum Error!"), std::string::npos);
    EXPECT_NE(run.strErr.find("total: 2 pass, 2 fail, yield 50.0 %"), std::string::npos);
    EXPECT_NE(run.strErr.find("   0.0 %  target_refused"), std::string::npos);  // slot c's row
}

TEST(Gang, WatchFlashesEachBoardOnceAsItIsPluggedAndStopsAfterFailures) {
    const std::string strFile = FirmwareFile(1, 60);
    const fs::path failing = SocketDir("watch-fail") / "a";
    const auto pRefusing = Board(failing, true);
    auto futureStop = std::async(std::launch::async, [&] {
        return RunCli({"gang", strFile, "--port", failing.string(), "--watch", "--max-failures",
                       "1", "--json"});
    });
    const fs::path dir = SocketDir("watch");
    const std::string strSlots = WriteTempFile("# slot port\n\nA " + (dir / "a").string() + "\n");
    std::vector<int> aEntries;
    std::thread hand([&] {
        for (int i = 0; i < 2; ++i) {
            auto pBoard = Board(dir / "a");
            // Left plugged in after its update, still greeting: never flashed twice.
            PollUntil([&] { return pBoard->GetPhase() == CBootloaderModel::Phase::Done; }, 20000);
            const int nGreetings = pBoard->Counters().nGreetings;
            EXPECT_TRUE(PollUntil([&] { return pBoard->Counters().nGreetings >= nGreetings + 4; }));
            aEntries.push_back(pBoard->Counters().nEntries);
            pBoard.reset();  // taken off
            std::this_thread::sleep_for(300ms);
        }
    });
    const CliRun run =
        RunCli({"gang", strFile, "--slots", strSlots, "--watch", "--count", "2", "--json"});
    hand.join();
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_EQ(aEntries, std::vector<int>({1, 1}));
    ASSERT_EQ(run.Records().size(), 2u);
    for (const auto& r : run.Records())
        EXPECT_EQ(r["slot"], "A");
    EXPECT_EQ(run.Events().back()["stopped"], "count");
    EXPECT_NE(run.strErr.find("[A] take the board off"), std::string::npos);

    const CliRun stop = futureStop.get();
    EXPECT_EQ(stop.nExit, 9);
    EXPECT_EQ(stop.Events().back()["stopped"], "max_failures");
    EXPECT_NE(stop.strErr.find("failed jobs in a row: 1"), std::string::npos);
}

TEST(Gang, CountersStartFromTheLogOfThisStationAndLotAndEachSlotIsRecorded) {
    const CliOptions state = CliOptions::StateDir((ProcessTempDir() / "counters").string());
    auto record = [](const char* szStation, const char* szLot, const char* szSlot, int nCode) {
        JobRecord r;
        r.strTime = "2026-12-07T10:00:00.000+00:00";
        r.strResult = nCode == 0 ? "Update successful" : "Fault! Please try again!";
        r.strStation = szStation;
        if (szLot != nullptr) r.strLot = szLot;
        if (szSlot != nullptr) r.strSlot = szSlot;
        r.nExitCode = nCode;
        return r;
    };
    const JobRecord aLog[] = {
        record("S", "L", "sim1", 0), record("S", "L", "sim1", 0),   record("S", "L", "sim1", 6),
        record("S", "L", "sim2", 0), record("S", "L", "sim2", 130), record("S", nullptr, "sim1", 6),
        record("S", "M", "sim2", 6), record("T", "L", "sim2", 6),   record("S", "L", nullptr, 6),
    };
    for (const JobRecord& r : aLog)
        ASSERT_EQ(AppendJobRecord(r, state.strStateDir + "/korvi-flasher/jobs.jsonl"), "");
    const CliRun run = RunCli({"gang", FirmwareFile(1, 20), "--simulate", "--sim-no-wire", "--json",
                               "--station", "S", "--lot", "L"},
                              state);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const auto start = run.Events().front();
    const auto end = run.Events().back();
    const std::vector<nlohmann::json> aCounts = {start["slots"][0]["pass"],
                                                 start["slots"][0]["fail"],
                                                 start["slots"][1]["pass"],
                                                 start["slots"][1]["fail"],
                                                 end["slots"][0]["pass"],
                                                 end["slots"][1]["pass"],
                                                 end["pass"],
                                                 end["fail"]};
    EXPECT_EQ(aCounts, (std::vector<nlohmann::json>{2, 1, 1, 0, 3, 2, 5, 1}));
    EXPECT_DOUBLE_EQ(end["yield"].get<double>(), 0.8333);
    // Each slot's update recorded for the station and lot, plain lines off a terminal.
    EXPECT_EQ(end["event"], "station_end");
    EXPECT_EQ(BySlot(run.Events(), "job_end").size(), 2u);
    const auto aRecords = run.Records();
    ASSERT_EQ(aRecords.size(), std::size(aLog) + 2);
    for (size_t i = std::size(aLog); i < aRecords.size(); ++i) {
        const auto& r = aRecords[i];
        EXPECT_EQ(std::tie(r["exit_code"], r["station"], r["lot"]), std::tuple(0, "S", "L"));
        EXPECT_NE(run.strErr.find("[" + r["slot"].get<std::string>() + "] Update successful"),
                  std::string::npos);
    }
    EXPECT_EQ(run.strErr.find('\r'), std::string::npos);
}

TEST(Gang, RefusesWhatCannotMakeAStation) {
    const std::string strFile = FirmwareFile(1, 10);
    std::vector<std::string> aDamaged = MakeFirmware(1, 10);
    aDamaged[3].back() = aDamaged[3].back() == '0' ? '1' : '0';
    const std::pair<std::vector<std::string>, const char*> aCases[] = {
        {{"gang", strFile, "--slots", WriteTempFile("A /dev/x\nB\n")}, ":2: slot B has no port"},
        {{"gang", strFile, "--port", "A=/dev/x", "--port", "A=/dev/y"}, "two slots named A"},
        {{"gang", strFile, "--simulate", "--count", "2"}, "need --watch"},
        {{"gang", WriteTempFile(JoinLines(aDamaged)), "--simulate"}, "nothing was sent"},
    };
    std::vector<CliCall> aCalls;
    for (const auto& [aArgs, szSays] : aCases)
        aCalls.push_back({aArgs, {}});
    const std::vector<CliRun> aRuns = RunClis(aCalls);
    for (size_t i = 0; i < aRuns.size(); ++i) {
        EXPECT_EQ(aRuns[i].nExit, i == 3 ? 3 : 2) << aCases[i].second;  // a bad file, else usage
        EXPECT_NE(aRuns[i].strErr.find(aCases[i].second), std::string::npos) << aRuns[i].strErr;
        EXPECT_TRUE(aRuns[i].Records().empty());
    }
}
