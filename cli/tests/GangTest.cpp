#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "Firmware.h"
#include "HexRecord.h"
#include "JobRecord.h"
#include "RunCli.h"
#include "SimTarget.h"
#include "TestKit.h"

namespace fs = std::filesystem;

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

}  // namespace

TEST(Gang, SlotsEndOnTheirOwnAndTheStationSucceedsOnlyWhenEverySlotDid) {
    // Two good boards, one that refuses every record, one pulled after its 20th record.
    const std::vector<std::string> aLines = MakeFirmware(1, 150);
    const std::string strFile = WriteTempFile(JoinLines(aLines, "\r\n"));
    const fs::path dir = SocketDir("mixed");
    std::vector<std::unique_ptr<CSimTarget>> aBoards;
    for (const char* sz : {"a", "b", "c", "d"})
        aBoards.push_back(Board(dir / sz, *sz == 'c'));
    const std::jthread puller([&](const std::stop_token& stop) {  // stopped at the test's end
        PollUntil([&] { return stop.stop_requested() || aBoards[3]->Counters().nRecords >= 20; },
                  20000);
        aBoards[3]->HangUp();
    });
    std::vector<std::string> aArgs = {"gang", strFile, "--json"};
    for (const char* sz : {"a", "b", "c", "d"})
        aArgs.insert(aArgs.end(), {"--port", std::string(sz) + "=" + (dir / sz).string()});
    const CliRun run = RunCli(aArgs, {.bErrTerminal = true});

    EXPECT_EQ(run.nExit, 9) << run.strErr;
    // Each slot's code in its own end, in the station's summary and in its record.
    std::map<std::string, std::vector<int>> codes;
    const auto aEvents = run.Events();
    for (const auto& e : aEvents) {
        if (e["event"] == "job_end") codes[e["slot"]].push_back(e["code"]);
    }
    for (const auto& s : aEvents.back()["slots"])
        codes[s["slot"]].push_back(s["code"]);
    for (const auto& r : run.Records()) {
        codes[r["slot"]].push_back(r["exit_code"]);
        EXPECT_EQ(r["by_path"], (dir / r["slot"].get<std::string>()).string());
    }
    const std::map<std::string, std::vector<int>> expected = {
        {"a", {0, 0, 0}}, {"b", {0, 0, 0}}, {"c", {6, 6, 6}}, {"d", {8, 8, 8}}};
    EXPECT_EQ(codes, expected);
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
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    const std::vector<CliRun> aRuns = RunClis(
        {{{"gang", strFile, "--slots", strSlots, "--watch", "--count", "2", "--json"}, {}},
         {{"gang", strFile, "--port", failing.string(), "--watch", "--max-failures", "1", "--json"},
          {}}});
    hand.join();
    const CliRun& run = aRuns[0];
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_EQ(aEntries, std::vector<int>({1, 1}));
    EXPECT_EQ(run.Records().size(), 2u);
    EXPECT_EQ(run.Events().back()["stopped"], "count");
    EXPECT_NE(run.strErr.find("[A] take the board off"), std::string::npos);

    const CliRun& stop = aRuns[1];  // the station with a board that refuses every record
    EXPECT_EQ(stop.nExit, 9);
    EXPECT_EQ(stop.Events().back()["stopped"], "max_failures");
    EXPECT_NE(stop.strErr.find("failed jobs in a row: 1"), std::string::npos);
}

TEST(Gang, CountersStartFromTheLogOfThisStationAndLotAndEachSlotIsRecordedForTheHistory) {
    const CliOptions state{.strStateDir = (ProcessTempDir() / "counters").string()};
    // Station, lot, slot and exit code; a success goes by its text, as the window records it.
    const std::tuple<const char*, const char*, const char*, int> aLog[] = {
        {"S", "L", "sim1", 0}, {"S", "L", "sim1", 0},   {"S", "L", "sim1", 6},
        {"S", "L", "sim2", 0}, {"S", "L", "sim2", 130}, {"S", nullptr, "sim1", 6},
        {"S", "M", "sim2", 6}, {"T", "L", "sim2", 6},   {"S", "L", nullptr, 6},
    };
    for (const auto& [szStation, szLot, szSlot, nCode] : aLog) {
        JobRecord r;
        r.strResult = nCode == 0 ? "Update successful" : "Fault! Please try again!";
        r.strStation = szStation;
        if (szLot != nullptr) r.strLot = szLot;
        if (szSlot != nullptr) r.strSlot = szSlot;
        if (nCode != 0) r.nExitCode = nCode;
        ASSERT_EQ(AppendJobRecord(r, state.strStateDir + "/korvi-flasher/jobs.jsonl"), "");
    }
    const CliRun run = RunCli({"gang", FirmwareFile(1, 20), "--simulate", "--sim-no-wire", "--json",
                               "--station", "S", "--lot", "L"},
                              state);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const auto aEvents = run.Events();
    const auto& start = aEvents.front();
    const auto& end = aEvents.back();
    std::vector<int> aCounts;  // each slot's passes and failures at the start, at the end
    for (const auto& s : {start["slots"][0], start["slots"][1], end["slots"][0], end["slots"][1]})
        aCounts.insert(aCounts.end(), {s["pass"], s["fail"]});
    EXPECT_EQ(aCounts, (std::vector<int>{2, 1, 1, 0, 3, 1, 2, 0}));
    EXPECT_EQ(std::tuple(end["pass"], end["fail"]), std::tuple(5, 1));
    EXPECT_DOUBLE_EQ(end["yield"].get<double>(), 0.8333);
    // Each slot's update recorded for the station and lot, plain lines off a terminal.
    EXPECT_EQ(std::ranges::count_if(aEvents, [](auto& e) { return e["event"] == "job_end"; }), 2);
    const auto aRecords = run.Records();
    ASSERT_EQ(aRecords.size(), std::size(aLog) + 2);
    for (size_t i = std::size(aLog); i < aRecords.size(); ++i) {
        const auto& r = aRecords[i];
        EXPECT_EQ(std::tie(r["exit_code"], r["station"], r["lot"]), std::tuple(0, "S", "L"));
        EXPECT_NE(run.strErr.find("[" + r["slot"].get<std::string>() + "] Update successful"),
                  std::string::npos);
    }
    EXPECT_EQ(run.strErr.find('\r'), std::string::npos);
    // The history finds those two by a prefix of their file's hash, in either case.
    std::string strPrefix = aRecords.back()["sha256"].get<std::string>().substr(0, 10);
    std::ranges::transform(strPrefix, strPrefix.begin(),
                           [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    const std::vector<CliRun> aHistory =
        RunClis({{{"history", "--json", "--sha256", strPrefix}, state},
                 {{"history", "--csv", "--port", "COM9"}, state}});
    EXPECT_EQ(aHistory[0].Events().size(), 2u);
    EXPECT_EQ(aHistory[1].strOut.find('\n'), aHistory[1].strOut.size() - 1);  // the header alone
}
