// Files no firmware tool should meet, and files that change under the loader: every one
// loads with a defined result or fails with the old image kept, promptly.
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "TestKit.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class HostileHexFile : public ::testing::Test {
protected:
    CTempDir m_tmp;
    std::vector<std::string> m_aOld = MakeFirmware(3, 4);  // every failed load must keep it
    CHexImage m_image = ImageOf(m_aOld);
};

}  // namespace

TEST_F(HostileHexFile, GarbageNulBytesAndColonsAreLinesLikeAnyOther) {
    std::mt19937 random(5);
    std::string strGarbage(1 << 20, '\0');
    for (char& ch : strGarbage)
        ch = static_cast<char>(random() % 0x19 == 0 ? '\n' : (random() & 0xFF) | 0x20);
    strGarbage.replace(1000, 9, ":FF000000");  // a record claiming the longest data field
    strGarbage.append("\n\0\0\n:\n\0\x1A:00000001FF\n", 20);
    ASSERT_TRUE(m_image.Load(WriteTempFile(strGarbage)));
    // Everything up to the Ctrl-Z, every byte kept.
    EXPECT_TRUE(JoinLines(LinesOf(m_image)) == strGarbage.substr(0, strGarbage.size() - 13) + "\n");
    EXPECT_EQ(m_image.GetTargetType(), 0);
}

// A 100 MB line is kept whole, and its data text is the claimed 255 bytes, not the line.
TEST_F(HostileHexFile, HundredMegabyteLineAndSeventyThousandLinesUnderAPathThatIsNotUtf8) {
    const std::string strHead = ":FF000000" + SignatureOf(3);
    const std::string strHuge = strHead + std::string((100u << 20) - strHead.size(), '0');
    WriteFile(m_tmp.Path("huge.hex"), strHuge + "\n:00000001FF\n");
    ASSERT_TRUE(m_image.Load(m_tmp.Path("huge.hex")));
    fs::remove(m_tmp.Path("huge.hex"));
    ASSERT_EQ(m_image.GetLineCount(), 2);
    EXPECT_TRUE(m_image.LineAt(0) == strHuge);
    EXPECT_EQ(m_image.GetTargetType(), 3);

    // Only the CR before an LF goes with the line end, and a byte order mark with no line.
    std::vector<std::string> aLines = MakeFirmware(5, 70000 - 2);
    aLines[2] = "  text\r line ";
    const fs::path path = m_tmp.Path("d\xFF\xFE\x80/f\xC3(\xA0.HEX");
    fs::create_directory(path.parent_path());
    WriteFile(path.string(), "\xEF\xBB\xBF" + JoinLines(aLines, "\r\n"));
    ASSERT_TRUE(m_image.Load(path.string()));
    EXPECT_TRUE(LinesOf(m_image) == aLines);
    EXPECT_EQ(m_image.GetTargetType(), 5);
}

// Gone, replaced by a folder, a dangling link, a pipe nobody writes to (opening it would
// wait for a writer forever), a device, a file whose reading fails, a sparse file larger than
// any firmware: refused at once.
TEST_F(HostileHexFile, WhatIsNoReadableFileKeepsTheOldImage) {
    const std::string strFifo = m_tmp.Path("pipe.hex");
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    fs::create_directory(m_tmp.Path("folder.hex"));
    fs::create_symlink(m_tmp.Path("nowhere.hex"), m_tmp.Path("link.hex"));
    WriteFile(m_tmp.Path("huge.hex"), "");
    fs::resize_file(m_tmp.Path("huge.hex"), (uintmax_t{1} << 30) + 1);
    for (const std::string& strPath :
         {m_tmp.Path("gone.hex"), m_tmp.Path("folder.hex"), m_tmp.Path("link.hex"), strFifo,
          std::string("/dev/null"), std::string("/proc/self/mem"), m_tmp.Path("huge.hex")}) {
        EXPECT_FALSE(m_image.Load(strPath)) << strPath;  // a load that blocks fails by timing out
        EXPECT_TRUE(LinesOf(m_image) == m_aOld) << strPath;
        EXPECT_EQ(m_image.GetTargetType(), 3);
    }
}
