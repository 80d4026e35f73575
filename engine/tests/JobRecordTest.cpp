#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "JobRecord.h"
#include "TestKit.h"

namespace {

JobRecord Sample(int n) {
    JobRecord r;
    r.strTime = UtcTimeText(std::chrono::system_clock::time_point(std::chrono::seconds(n)));
    std::tie(r.strHost, r.strTool, r.strVersion, r.strDevice, r.strFile, r.strSha256) =
        std::tuple("bench-" + std::to_string(n), "korvi-flasher", "1.4.1", "/dev/ttyUSB0",
                   "/srv/fw/\u00FCber \"quoted\"\\.hex", std::string(64, 'a'));
    std::tie(r.nComNumber, r.nFileSize, r.nTargetType, r.nBaud, r.nErrorCount, r.nLinesSent,
             r.dDurationS) = std::tuple(n, 10'000'000'000ULL, 3, 19200, n % 4, 258 + n, 8.125);
    r.strResult = n % 2 ? "Update successful" : "Fault! Please try again!";
    return r;
}

}  // namespace

TEST(JobRecord, AppendedRecordsReadBackAndDamagedLinesAreSkipped) {
    CTempDir dir;
    JobRecord full = Sample(2);
    std::tie(full.strLot, full.strStation, full.strSlot, full.strAdapterSerial, full.strByPath,
             full.nExitCode) = std::tuple("L-77", "st1", "4", "A1B2C3", "pci-0:14.0-usb-0:2", 3);
    const std::string strPath = dir.Path("a/b/jobs.jsonl");
    ASSERT_EQ(AppendJobRecord(Sample(1), strPath), "");
    ASSERT_EQ(AppendJobRecord(full, strPath), "");

    const std::string strWhole = JobRecordToJson(Sample(3));
    // No fields, no object, wrong kind, a key edited; then a line cut short as a crash or a
    // full disk leaves it, without its line end: the next record must not be glued to it.
    WriteFile(strPath, ReadFile(strPath) + "{}\n[1,2]\n{\"time\":1}\n\n" +
                           std::string(strWhole).replace(1, 6, "\"tim\"") + "\n" +
                           strWhole.substr(0, strWhole.size() / 2));
    // A writer that took its turn and stopped holds nobody up for long.
    const int nHolder = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(nHolder, LOCK_EX), 0);
    ASSERT_EQ(AppendJobRecord(Sample(3), strPath), "");
    ::close(nHolder);
    // Bytes that are not UTF-8 cannot go into JSON as they are; the record still goes in.
    JobRecord odd = Sample(5);
    odd.strFile = "/fw/\xFF.hex";
    ASSERT_EQ(AppendJobRecord(odd, strPath), "");
    odd.strFile = "/fw/\xEF\xBF\xBD.hex";

    JobLog log;
    ASSERT_EQ(ReadJobLog(strPath, log), "");
    EXPECT_EQ(log.aRecords, (std::vector<JobRecord>{Sample(1), full, Sample(3), odd}));
    EXPECT_EQ(log.nDamaged, 5);  // the blank line is not counted
}

TEST(JobRecord, FailuresComeBackAsText) {
    CTempDir dir;
    std::filesystem::create_directories(dir.Path("folder"));
    WriteFile(dir.Path("plain"), "x");
    ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);  // nobody reads: must not wait
    for (const std::string& strPath :
         {std::string(), dir.Path("folder"), dir.Path("plain/x"), dir.Path("pipe")})
        EXPECT_NE(AppendJobRecord(Sample(1), strPath), "") << strPath;
    JobLog log;
    EXPECT_EQ(ReadJobLog(dir.Path("none.jsonl"), log), "");  // no log yet: empty
    EXPECT_NE(ReadJobLog(dir.Path("folder"), log), "");
    std::string strSha;
    uint64_t nSize = 0;
    EXPECT_FALSE(DigestFile(dir.Path("missing"), strSha, nSize));
    WriteFile(dir.Path("abc"), "abc");
    ASSERT_TRUE(DigestFile(dir.Path("abc"), strSha, nSize));
    EXPECT_EQ(strSha, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(nSize, 3u);
}

// Only an absolute XDG_STATE_HOME counts. The test binary does not read these itself.
TEST(JobRecord, DefaultPathAndTime) {
    setenv("HOME", "/home/tech", 1);
    const std::string strHomeState = "/home/tech/.local/state/korvi-flasher/jobs.jsonl";
    for (const auto& [szState, strExpected] :
         {std::pair<const char*, std::string>{"/var/state", "/var/state/korvi-flasher/jobs.jsonl"},
          {"relative/state", strHomeState},
          {nullptr, strHomeState}}) {
        szState != nullptr ? setenv("XDG_STATE_HOME", szState, 1) : unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(DefaultJobLogPath(), strExpected);
    }
    EXPECT_EQ(UtcTimeText(std::chrono::system_clock::time_point(
                  std::chrono::milliseconds(86'400'000LL * 365 + 1500))),
              "1971-01-01T00:00:01.500+00:00");
}
