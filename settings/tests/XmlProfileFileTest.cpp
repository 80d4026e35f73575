#include "TempDir.h"
#include "XmlProfile.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

namespace {

const char* const kFile = "Config.xml";
const std::string kOld = "<profile><Main><COM-Port>2</COM-Port><Keep>me</Keep></Main></profile>";

class XmlProfileFileTest : public TempDirTest {
protected:
    // Writes a new port into kFile through a fresh store; the store's Save result.
    static bool SavePort(const std::string& strFile, int nPort) {
        CXmlProfile profile(strFile);
        profile.WriteInt("Main", "COM-Port", nPort);
        return profile.Save();
    }

    static mode_t ModeOf(const std::string& strPath) {
        struct stat st {};
        EXPECT_EQ(::stat(strPath.c_str(), &st), 0) << strPath;
        return st.st_mode & 07777;
    }

    static std::string RoundTrip(const std::string& strValue) {
        {
            CXmlProfile profile(kFile);
            profile.WriteString("Main", "Hex-File", strValue);
            EXPECT_TRUE(profile.Save());
        }
        CXmlProfile profile(kFile);
        std::string strRead;
        profile.ReadString("Main", "Hex-File", "default", strRead);
        return strRead;
    }
};

// A write that fails half way (here: the file size limit, which binds root as well).
TEST_F(XmlProfileFileTest, SavesLeaveNoTemporaryAndAFailedWriteKeepsTheOldFile) {
    ASSERT_TRUE(SavePort(kFile, 1));
    ASSERT_TRUE(SavePort(kFile, 2));
    EXPECT_EQ(ListDir(), std::vector<std::string>{kFile});
    WriteBytes(kFile, kOld);
    CXmlProfile profile(kFile);
    profile.WriteString("Main", "Hex-File", std::string(4096, 'x'));

    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit limit = oldLimit;
    limit.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool bSaved = profile.Save();
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(bSaved);
    EXPECT_EQ(ReadBytes(kFile), kOld);
    EXPECT_EQ(ListDir(), std::vector<std::string>{kFile});
    EXPECT_TRUE(profile.Save()) << "a later save succeeds once the write can";
}

TEST_F(XmlProfileFileTest, UnwritableDirectoryRewritesOnlyAWritableFileInPlace) {
    if (IsRoot()) GTEST_SKIP() << "root writes into read-only directories";
    ASSERT_EQ(::mkdir("ro", 0755), 0);
    WriteBytes("ro/Config.xml", kOld);
    ASSERT_EQ(::chmod("ro", 0555), 0);
    EXPECT_TRUE(SavePort("ro/Config.xml", 5));
    EXPECT_EQ(CXmlProfile("ro/Config.xml").ReadInt("Main", "COM-Port", 0), 5);
    EXPECT_EQ(ListDir("ro"), std::vector<std::string>{"Config.xml"});
}

// Directories nobody may create files in, root included.
TEST_F(XmlProfileFileTest, DirectoryThatCannotTakeFilesFails) {
    WriteBytes("plain", "a regular file");
    EXPECT_FALSE(SavePort("plain/Config.xml", 5));
    EXPECT_EQ(ReadBytes("plain"), "a regular file");
    EXPECT_FALSE(SavePort("missing-dir/Config.xml", 5));
    EXPECT_FALSE(SavePort("/proc/Config.xml", 5));
    EXPECT_FALSE(SavePort("", 5));
}

TEST_F(XmlProfileFileTest, ReadOnlyFileIsNotReplaced) {
    WriteBytes(kFile, kOld);
    ASSERT_EQ(::chmod(kFile, 0444), 0);
    CXmlProfile profile(kFile);
    EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 2);
    profile.WriteInt("Main", "COM-Port", 7);
    EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 7);
    EXPECT_FALSE(profile.Save());
    EXPECT_EQ(ReadBytes(kFile), kOld);
    EXPECT_EQ(ListDir(), std::vector<std::string>{kFile});
}

TEST_F(XmlProfileFileTest, PermissionBitsArePreservedOrFollowTheUmask) {
    WriteBytes(kFile, kOld);
    ASSERT_EQ(::chmod(kFile, 0640), 0);
    ASSERT_TRUE(SavePort(kFile, 3));
    EXPECT_EQ(ModeOf(kFile), 0640u);
    ASSERT_EQ(::chmod(kFile, 0604), 0);
    ASSERT_TRUE(SavePort(kFile, 4));
    EXPECT_EQ(ModeOf(kFile), 0604u);
    // A new file follows the umask.
    const mode_t oldMask = ::umask(027);
    const bool bSaved = SavePort("new.xml", 1);
    ::umask(oldMask);
    ASSERT_TRUE(bSaved);
    EXPECT_EQ(ModeOf("new.xml"), 0640u);
}

TEST_F(XmlProfileFileTest, UnreadableFileIsUsedInMemoryButNeverReplaced) {
    auto check = [](const std::string& strFile) {
        CXmlProfile profile(strFile);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 4), 4);
        std::string strPath;
        EXPECT_FALSE(profile.ReadString("Main", "Hex-File", "select file", strPath));
        EXPECT_EQ(strPath, "select file");
        EXPECT_TRUE(profile.WriteInt("Main", "COM-Port", 8));
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 4), 8);
        EXPECT_FALSE(profile.Save());
    };
    // A directory in the file's place cannot be read, whoever runs the test.
    ASSERT_EQ(::mkdir(kFile, 0755), 0);
    check(kFile);
    EXPECT_EQ(ListDir(), std::vector<std::string>{kFile});
    ASSERT_EQ(::rmdir(kFile), 0);

    if (IsRoot()) return;  // root reads files without read permission
    WriteBytes(kFile, kOld);
    ASSERT_EQ(::chmod(kFile, 0200), 0);
    check(kFile);
    ASSERT_EQ(::chmod(kFile, 0600), 0);
    EXPECT_EQ(ReadBytes(kFile), kOld);
}

TEST_F(XmlProfileFileTest, FifoIsNotWaitedOn) {
    ASSERT_EQ(::mkfifo(kFile, 0644), 0);
    CXmlProfile profile(kFile);
    EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 1), 1);
    EXPECT_FALSE(profile.Save());
}

TEST_F(XmlProfileFileTest, SymlinkIsKeptAndItsTargetReplaced) {
    ASSERT_EQ(::mkdir("real", 0755), 0);
    WriteBytes("real/settings.xml", kOld);
    ASSERT_EQ(::symlink("real/settings.xml", "hop"), 0);
    ASSERT_EQ(::symlink("hop", kFile), 0);
    {
        CXmlProfile profile(kFile);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 2);
        profile.WriteInt("Main", "COM-Port", 6);
        ASSERT_TRUE(profile.Save());
    }
    struct stat st {};
    ASSERT_EQ(::lstat(kFile, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadBytes("real/settings.xml"),
              "<profile><Main><COM-Port>6</COM-Port><Keep>me</Keep></Main></profile>");
    EXPECT_EQ(ListDir("real"), std::vector<std::string>{"settings.xml"});

    // A link into nowhere gets its target created; a loop is refused.
    ASSERT_EQ(::symlink("real/new.xml", "dangling"), 0);
    EXPECT_TRUE(SavePort("dangling", 1));
    EXPECT_EQ(ReadBytes("real/new.xml"), "<profile><Main><COM-Port>1</COM-Port></Main></profile>");
    ASSERT_EQ(::symlink("loop", "loop"), 0);
    EXPECT_FALSE(SavePort("loop", 1));
}

TEST_F(XmlProfileFileTest, NonAsciiAndArbitraryBytesRoundTrip) {
    const std::string strUmlaut =
        "/home/t\xC3\xA9"
        "ch/Fl\xC3\xBC"
        "gel/\xE2\x82\xAC\xF0\x9F\x94\xA5.HEX";
    EXPECT_EQ(RoundTrip(strUmlaut), strUmlaut);
    // Valid UTF-8 is written as itself.
    EXPECT_NE(ReadBytes(kFile).find(strUmlaut), std::string::npos);

    std::string strAllBytes;
    for (int i = 0; i < 256; ++i)
        strAllBytes += static_cast<char>(i);
    for (const std::string& strValue :
         {std::string("/tmp/\xFF\xFE\x80 latin1 f\xFCr.hex"), strAllBytes,
          std::string("cr\r\nlf\ncr\rtab\t"), std::string("  "), std::string(" lead and trail "),
          std::string("\xEF\x9C\x80 and \xEF\x9F\xBF look like escapes"),
          std::string("\xED\xA0\x80 surrogate, \xC0\xAF overlong, \xF4\x90\x80\x80 too big"),
          std::string("\xEF\xBF\xBE\xEF\xBF\xBF"), std::string("cut \xE2\x82")}) {
        EXPECT_EQ(RoundTrip(strValue), strValue);
        // The file stays loadable: a second store sees the same and a third save is equal.
        const std::string strFile = ReadBytes(kFile);
        CXmlProfile profile(kFile);
        ASSERT_TRUE(profile.Save());
        EXPECT_EQ(ReadBytes(kFile), strFile);
    }
}

}  // namespace
