#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "Firmware.h"
#include "JobRecord.h"

namespace {

JobRecord Sample(int n) {
    JobRecord r;
    r.strTime = UtcTimeText(std::chrono::system_clock::time_point(std::chrono::seconds(n)));
    r.strHost = "bench-" + std::to_string(n);
    r.strTool = "korvi-flasher";
    r.strVersion = "1.4.1";
    r.nComNumber = n;
    r.strDevice = "/dev/ttyUSB0";
    r.strFile =
        "/srv/fw/\xC3\xBC"
        "ber \"quoted\"\\.hex";
    r.strSha256 = std::string(64, 'a');
    r.nFileSize = 10'000'000'000ULL;
    r.nTargetType = 3;
    r.nBaud = 19200;
    r.strResult = n % 2 ? "Update successful" : "Fault! Please try again!";
    r.nErrorCount = n % 4;
    r.nLinesSent = 258 + n;
    r.dDurationS = 8.125;
    return r;
}

std::filesystem::path Scratch(const char* szName) {
    auto path = ProcessTempDir() / szName;
    std::filesystem::remove_all(path);
    return path;
}

void AppendRaw(const std::filesystem::path& path, const std::string& strText) {
    std::ofstream(path, std::ios::app | std::ios::binary) << strText;
}

}  // namespace

TEST(JobRecord, AppendedRecordsReadBackAndDamagedLinesAreSkipped) {
    JobRecord full = Sample(2);
    std::tie(full.strLot, full.strStation, full.strSlot, full.strAdapterSerial, full.strByPath) =
        std::tuple("L-77", "st1", "4", "A1B2C3", "pci-0000:00:14.0-usb-0:2:1.0-port0");
    full.nExitCode = 3;
    const auto path = Scratch("log") / "a" / "b" / "jobs.jsonl";
    ASSERT_EQ(AppendJobRecord(Sample(1), path.string()), "");
    ASSERT_EQ(AppendJobRecord(full, path.string()), "");

    const std::string strWhole = JobRecordToJson(Sample(3));
    const std::string aDamaged[] = {
        strWhole.substr(0, strWhole.size() / 2) + "\n",              // cut short by a crash
        "{}\n",                                                      // no fields
        "[1,2]\n",                                                   // no object
        JobRecordToJson(Sample(3)).replace(1, 6, "\"tim\"") + "\n",  // a required key renamed
        "{\"time\":1}\n",                                            // wrong kind
        "\n"};                                                       // blank: not counted
    for (const std::string& strLine : aDamaged)
        AppendRaw(path, strLine);
    ASSERT_EQ(AppendJobRecord(Sample(3), path.string()), "");

    JobLog log;
    ASSERT_EQ(ReadJobLog(path.string(), log), "");
    EXPECT_EQ(log.aRecords, (std::vector<JobRecord>{Sample(1), full, Sample(3)}));
    EXPECT_EQ(log.nDamaged, 5);
    // The optional fields are absent unless set.
    EXPECT_EQ(strWhole.find("lot"), std::string::npos);

    // Bytes that are not UTF-8 cannot go into JSON as they are; the record still goes in.
    JobRecord odd = Sample(5);
    odd.strFile = "/fw/\xFF.hex";
    ASSERT_EQ(AppendJobRecord(odd, path.string()), "");
    ASSERT_EQ(ReadJobLog(path.string(), log), "");
    EXPECT_EQ(log.aRecords.back().strFile, "/fw/\xEF\xBF\xBD.hex");
}

TEST(JobRecord, FailuresComeBackAsText) {
    const auto dir = Scratch("fail");
    std::filesystem::create_directories(dir / "folder");
    AppendRaw(dir / "plain", "x");
    for (const std::string& strPath :
         {std::string(), (dir / "folder").string(), (dir / "plain" / "jobs.jsonl").string()})
        EXPECT_NE(AppendJobRecord(Sample(1), strPath), "") << strPath;

    JobLog log;
    EXPECT_EQ(ReadJobLog((dir / "none.jsonl").string(), log), "");  // no log yet: empty
    EXPECT_TRUE(log.aRecords.empty());
    EXPECT_NE(ReadJobLog((dir / "folder").string(), log), "");
}

// Only an absolute XDG_STATE_HOME counts. The test binary does not read these itself.
TEST(JobRecord, DefaultPathFollowsXdgStateHome) {
    setenv("HOME", "/home/tech", 1);
    const std::string strHomeState = "/home/tech/.local/state/korvi-flasher/jobs.jsonl";
    for (const auto& [szState, strExpected] :
         {std::pair<const char*, std::string>{"/var/state", "/var/state/korvi-flasher/jobs.jsonl"},
          {"relative/state", strHomeState},
          {nullptr, strHomeState}}) {
        if (szState != nullptr) setenv("XDG_STATE_HOME", szState, 1);
        if (szState == nullptr) unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(DefaultJobLogPath(), strExpected);
    }
}

TEST(JobRecord, DigestAndTime) {
    std::string strSha;
    uint64_t nSize = 0;
    ASSERT_TRUE(DigestFile(WriteTempFile("abc"), strSha, nSize));
    EXPECT_EQ(strSha, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(nSize, 3u);
    EXPECT_FALSE(DigestFile((ProcessTempDir() / "missing").string(), strSha, nSize));
    EXPECT_EQ(UtcTimeText(std::chrono::system_clock::time_point(
                  std::chrono::milliseconds(86'400'000LL * 365 + 1500))),
              "1971-01-01T00:00:01.500+00:00");
}
