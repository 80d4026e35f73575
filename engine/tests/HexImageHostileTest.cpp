// Files no firmware tool should meet, and files that change under the loader: every one
// loads with a defined result or fails with the old image kept, promptly and in bounded memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <regex>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// ThreadSanitizer keeps shadow memory several times the size of what the program touches.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVI_MEMORY_SHADOWED
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KORVI_MEMORY_SHADOWED)
constexpr bool kMemoryShadowed = true;
#else
constexpr bool kMemoryShadowed = false;
#endif

// Peak resident memory in KiB since the last ResetPeakMemory (Linux: VmHWM).
long PeakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    const std::string strStatus((std::istreambuf_iterator<char>(status)),
                                std::istreambuf_iterator<char>());
    std::smatch match;
    if (!std::regex_search(strStatus, match, std::regex(R"(VmHWM:\s+(\d+))"))) return -1;
    return std::stol(match[1]);
}

bool ResetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

class HostileHexFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strTemplate = (fs::temp_directory_path() / "korvi-hostile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
        m_dir = strTemplate;
        m_image.BuildSignatures();
        // A known image that every failed load must leave as it is.
        ASSERT_TRUE(m_image.Load(Write("old.hex", JoinLines(MakeFirmware(3, 4)))));
        m_aOldLines.clear();
        for (int i = 0; i < m_image.GetLineCount(); ++i)
            m_aOldLines.push_back(m_image.GetLine(i));
        ASSERT_EQ(m_image.GetTargetType(), 3);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Write(const std::string& strName, std::string_view strContent) {
        const fs::path path = m_dir / strName;
        std::ofstream(path, std::ios::binary)
            .write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
        return path.string();
    }

    void ExpectOldImage() {
        ASSERT_EQ(m_image.GetLineCount(), static_cast<int>(m_aOldLines.size()));
        for (int i = 0; i < m_image.GetLineCount(); ++i)
            EXPECT_EQ(m_image.GetLine(i), m_aOldLines[static_cast<size_t>(i)]);
        EXPECT_EQ(m_image.GetTargetType(), 3);
    }

    // Load on another thread; a load still blocked after the grace time fails the test.
    bool LoadPromptly(const std::string& strPath, const std::function<void()>& release) {
        auto result = std::async(std::launch::async, [&] { return m_image.Load(strPath); });
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "Load blocked on " << strPath;
            release();
        }
        return result.get();
    }

    fs::path m_dir;
    CHexImage m_image;
    std::vector<std::string> m_aOldLines;
};

TEST_F(HostileHexFile, BinaryGarbageAndNulBytesAreLinesLikeAnyOther) {
    std::mt19937 random(5);
    std::string strGarbage(1 << 20, '\0');
    for (char& ch : strGarbage) {
        ch = static_cast<char>(random() & 0xFF);
        if (ch == '\x1A') ch = '\0';  // Ctrl-Z would end the file early
    }
    // Stray record marks among the garbage, one claiming the longest data field.
    strGarbage.replace(1000, 9, ":FF000000");
    ASSERT_TRUE(m_image.Load(Write("garbage.hex", strGarbage)));
    const auto nEnds = std::count(strGarbage.begin(), strGarbage.end(), '\n');
    EXPECT_EQ(m_image.GetLineCount(), nEnds + (strGarbage.back() != '\n' ? 1 : 0));
    std::string strJoined;
    for (int i = 0; i < m_image.GetLineCount(); ++i) {
        const RecordHeader header = CHexImage::ParseRecordHeader(m_image.LineAt(i));
        EXPECT_EQ(header.nPage, header.nAddress >> 8);
        strJoined += m_image.LineAt(i) + "\n";
    }
    // Only CRs before LFs were dropped; NULs and every other byte are kept.
    std::string strExpected;
    for (size_t i = 0; i < strGarbage.size(); ++i) {
        if (strGarbage[i] != '\r' || i + 1 == strGarbage.size() || strGarbage[i + 1] != '\n')
            strExpected += strGarbage[i];
    }
    if (strExpected.back() != '\n') strExpected += '\n';
    EXPECT_TRUE(strJoined == strExpected);
    EXPECT_EQ(m_image.GetTargetType(), 0);

    // Ctrl-Z right after a NUL still ends the file there.
    ASSERT_TRUE(m_image.Load(Write("nul.hex", std::string("\0\0\n\0\x1A:00000001FF\n", 16))));
    ASSERT_EQ(m_image.GetLineCount(), 2);
    EXPECT_EQ(m_image.GetLine(0), std::string(2, '\0'));
    EXPECT_EQ(m_image.GetLine(1), std::string(1, '\0'));
}

TEST_F(HostileHexFile, HundredMegabyteLineLoadsInBoundedMemory) {
    constexpr size_t kLineSize = 100u << 20;
    const std::string strHead = ":FF000000" + SignatureOf(3);
    const std::string strPath = (m_dir / "huge.hex").string();
    {
        std::ofstream out(strPath, std::ios::binary);
        out << strHead;
        const std::string strChunk(1 << 20, '0');
        for (size_t nLeft = kLineSize - strHead.size(); nLeft > 0;) {
            const size_t n = std::min(nLeft, strChunk.size());
            out.write(strChunk.data(), static_cast<std::streamsize>(n));
            nLeft -= n;
        }
        out << "\n:00000001FF\n";
    }
    ASSERT_TRUE(ResetPeakMemory());
    const long nBefore = PeakMemoryKiB();
    ASSERT_TRUE(m_image.Load(strPath));
    const long nGrowth = PeakMemoryKiB() - nBefore;
    fs::remove(strPath);

    ASSERT_EQ(m_image.GetLineCount(), 2);
    EXPECT_EQ(m_image.LineAt(0).size(), kLineSize);
    EXPECT_EQ(m_image.LineAt(0).compare(0, strHead.size(), strHead), 0);
    EXPECT_EQ(CHexImage::ParseRecordHeader(m_image.LineAt(0)).nLength, 0xFF);
    // The data text is the claimed 255 bytes, not the whole line: the marker in it counts.
    EXPECT_EQ(m_image.GetTargetType(), 3);
    // The file's text and the kept line, plus bookkeeping: a few times the file, no more.
    if (!kMemoryShadowed) {
        EXPECT_LT(nGrowth, static_cast<long>(4 * (kLineSize >> 10))) << "KiB at peak";
    }
}

TEST_F(HostileHexFile, SeventyThousandLinesAreAllKeptAndCounted) {
    const std::vector<std::string> aLines = MakeFirmware(5, 70000 - 2);
    ASSERT_EQ(aLines.size(), 70000u);
    ASSERT_TRUE(m_image.Load(Write("big.hex", JoinLines(aLines, "\r\n"))));
    ASSERT_EQ(m_image.GetLineCount(), 70000);
    EXPECT_EQ(m_image.GetLine(65536), aLines[65536]);
    EXPECT_EQ(m_image.GetLine(69999), aLines[69999]);
    EXPECT_EQ(m_image.GetTargetType(), 5);
}

TEST_F(HostileHexFile, ColonOnlyLinesAreEmptyRecordsOnPageZero) {
    const std::string strSig = SignatureOf(4);
    // A ":" line between the halves of a marker makes it span three lines: not found.
    ASSERT_TRUE(
        m_image.Load(Write("colons.hex", ":\n:\n:06000000" + strSig.substr(0, 12) +
                                             "\n:\n:07000600" + strSig.substr(12) + "\n:")));
    ASSERT_EQ(m_image.GetLineCount(), 6);
    EXPECT_EQ(m_image.GetLine(5), ":");
    EXPECT_EQ(m_image.GetTargetType(), 0);
    ASSERT_TRUE(m_image.Load(Write(
        "halves.hex", ":06000000" + strSig.substr(0, 12) + "\n:07000600" + strSig.substr(12))));
    EXPECT_EQ(m_image.GetTargetType(), 4);
}

TEST_F(HostileHexFile, PathWithBytesThatAreNotUtf8) {
    const std::vector<std::string> aLines = MakeFirmware(2, 3);
    const fs::path dir = m_dir / std::string("d\xFF\xFE\x80");
    fs::create_directory(dir);
    const std::string strPath = (dir / std::string("f\xC3(\xA0.HEX")).string();
    std::ofstream(strPath, std::ios::binary) << JoinLines(aLines);
    ASSERT_TRUE(m_image.Load(strPath));
    EXPECT_EQ(m_image.GetLineCount(), static_cast<int>(aLines.size()));
    EXPECT_EQ(m_image.GetTargetType(), 2);
}

TEST_F(HostileHexFile, FileGoneOrReplacedAfterChoiceKeepsTheOldImage) {
    const std::string strPath = Write("chosen.hex", JoinLines(MakeFirmware(1, 3)));
    fs::remove(strPath);
    EXPECT_FALSE(m_image.Load(strPath));
    ExpectOldImage();

    // Replaced by a folder: opens on Linux, but reading it fails.
    fs::create_directory(strPath);
    EXPECT_FALSE(m_image.Load(strPath));
    ExpectOldImage();
    fs::remove(strPath);

    // A link that leads nowhere.
    fs::create_symlink(m_dir / "nowhere.hex", strPath);
    EXPECT_FALSE(m_image.Load(strPath));
    ExpectOldImage();

    // Opens as a regular file, but reading its start fails.
    EXPECT_FALSE(m_image.Load("/proc/self/mem"));
    ExpectOldImage();
}

TEST_F(HostileHexFile, NoRegularFileIsRefusedWithoutBlocking) {
    // A named pipe nobody writes to: opening it for reading would wait for a writer forever.
    const std::string strFifo = (m_dir / "pipe.hex").string();
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    EXPECT_FALSE(LoadPromptly(strFifo, [&] {
        // Let a blocked open go on so the test ends; the pipe then reads as empty.
        const int nFd = ::open(strFifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (nFd >= 0) ::close(nFd);
    }));
    ExpectOldImage();
    // A device is no firmware file, even one that reads as empty.
    EXPECT_FALSE(m_image.Load("/dev/null"));
    ExpectOldImage();
}

}  // namespace
