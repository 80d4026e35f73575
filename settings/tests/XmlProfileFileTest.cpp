#include "TempDir.h"
#include "XmlProfile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <tuple>

namespace {

const char* const kFile = "Config.xml";
const std::string kOld = "<profile><Main><COM-Port>2</COM-Port><Keep>me</Keep></Main></profile>";

bool SavePort(const std::string& strFile, int nPort) {
    CXmlProfile profile(strFile);
    profile.WriteInt("Main", "COM-Port", nPort);
    return profile.Save();
}

// What a replacement or a rewrite would change, of the name and of what it leads to.
std::string Snapshot(const std::string& strPath) {
    struct stat aSt[2]{};
    std::ignore = ::lstat(strPath.c_str(), &aSt[0]) + ::stat(strPath.c_str(), &aSt[1]);
    std::ostringstream out;
    for (const struct stat& st : aSt)
        out << st.st_ino << ' ' << st.st_mode << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec
            << '.' << st.st_mtim.tv_nsec << ';';
    return out.str();
}

using XmlProfileFileTest = TempDirTest;

TEST_F(XmlProfileFileTest, AnyBytesComeBackAsWrittenAndStayStable) {
    const std::string strUtf8 =
        "/home/t\xC3\xA9"
        "ch/\xE2\x82\xAC\xF0\x9F\x94\xA5.HEX";
    std::string strAllBytes, strHuge(10u << 20, 'v');
    for (int i = 0; i < 256; ++i)
        strAllBytes += static_cast<char>(i);
    for (size_t i = 0; i < strHuge.size(); i += 4099)
        strHuge[i] = static_cast<char>(i % 251);
    for (const std::string& strValue :
         {strUtf8, std::string("/tmp/\xFF\xFE\x80 f\xFCr.hex"), strAllBytes,
          std::string("cr\r\nlf\ncr\rtab\t"), std::string("  "), std::string(" lead and trail "),
          std::string("\xEF\x9C\x80 and \xEF\x9F\xBF look like escapes"),
          std::string("\xED\xA0\x80 surrogate, \xC0\xAF overlong, \xF4\x90\x80\x80 too big"),
          std::string("\xEF\xBF\xBE\xEF\xBF\xBF"), std::string("cut \xE2\x82"), strHuge}) {
        {
            CXmlProfile profile(kFile);
            profile.WriteString("Main", "Hex-File", strValue);
            profile.WriteInt("Main", "COM-Port", 4);
            ASSERT_TRUE(profile.Save());
        }
        const std::string strFile = ReadBytes(kFile);
        // Valid UTF-8 is written as itself.
        EXPECT_TRUE(strValue != strUtf8 || strFile.find(strUtf8) != std::string::npos);
        CXmlProfile profile(kFile);
        std::string strRead;
        EXPECT_TRUE(profile.ReadString("Main", "Hex-File", "", strRead));
        EXPECT_TRUE(strRead == strValue) << strValue.substr(0, 100);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 4);
        EXPECT_TRUE(profile.Save() && ReadBytes(kFile) == strFile) << "load and save changed it";
    }
}

// A write that fails half way (here: the file size limit, which binds root as well).
TEST_F(XmlProfileFileTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
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
    EXPECT_EQ(ListDir(), std::set<std::string>{kFile});
    EXPECT_TRUE(profile.Save()) << "a later save succeeds once the write can";
    EXPECT_EQ(ListDir(), std::set<std::string>{kFile});
}

// Runs unprivileged in CI's stage for user nobody.
TEST_F(XmlProfileFileTest, UnwritableDirectoryRewritesOnlyAWritableFileInPlace) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    ASSERT_EQ(::mkdir("ro", 0755), 0);
    WriteBytes("ro/Config.xml", kOld);
    ASSERT_EQ(::chmod("ro", 0555), 0);
    EXPECT_TRUE(SavePort("ro/Config.xml", 5));
    EXPECT_EQ(CXmlProfile("ro/Config.xml").ReadInt("Main", "COM-Port", 0), 5);
    EXPECT_EQ(ListDir("ro"), std::set<std::string>{"Config.xml"});
    ::chmod("ro", 0755);
}

// The store works in memory, but what it must not or cannot replace stays exactly as it was.
TEST_F(XmlProfileFileTest, RefusedSavesLeaveEverythingAsItWas) {
    for (const char* szFile : {"readonly.xml", "unreadable.xml", "long.xml", "escaped.xml"})
        WriteBytes(szFile, kOld);
    WriteBytes("markup.xml", "<profile>" + std::string(1'000'000, '<') + "</profile>");
    WriteBytes("plain", "a file");
    const int nSparse = ::open("sparse.xml", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(nSparse, 100 << 20) | ::close(nSparse), 0);  // costs no disk
    ASSERT_EQ(::chmod("readonly.xml", 0444) | ::chmod("unreadable.xml", 0200) |
                  ::mkdir("dir.xml", 0755) | ::mkfifo("fifo.xml", 0644) |
                  ::symlink("/dev/zero", "device.xml") | ::symlink("dir.xml", "todir.xml") |
                  ::symlink("loop.xml", "loop.xml"),
              0);
    const bool bRoot = ::geteuid() == 0;  // reads even unreadable files
    // clang-format off
    for (const auto& [strPath, nPort, strValue] : std::initializer_list<
             std::tuple<std::string, int, std::string>>{
             {"readonly.xml", 2, "v"}, {"unreadable.xml", 7, "v"}, {"dir.xml", 7, "v"},
             {"fifo.xml", 7, "v"}, {"device.xml", 7, "v"}, {"todir.xml", 7, "v"},
             {"loop.xml", 7, "v"}, {"sparse.xml", 7, "v"}, {"markup.xml", 7, "v"},
             {"long.xml", 2, std::string(17u << 20, 'v')},
             {"escaped.xml", 2, std::string(6u << 20, '\xFF')},  // each byte written as three
             {"plain/Config.xml", 7, "v"}, {"missing/Config.xml", 7, "v"},
             {"/proc/Config.xml", 7, "v"}, {"", 7, "v"}}) {
        // clang-format on
        if (bRoot && strPath == "unreadable.xml") continue;
        const std::set<std::string> before = ListDir();
        const std::string strBefore = Snapshot(strPath);
        {
            CXmlProfile profile(strPath);
            EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), nPort) << strPath;
            EXPECT_TRUE(profile.WriteString("Main", "Hex-File", strValue));
            EXPECT_TRUE(profile.WriteInt("Main", "COM-Port", 8));
            EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), 8);
            EXPECT_FALSE(profile.Save()) << strPath;
        }
        EXPECT_EQ(Snapshot(strPath), strBefore) << strPath;
        EXPECT_EQ(ListDir(), before) << strPath;
    }
    EXPECT_TRUE(ListDir("dir.xml").empty());
}

TEST_F(XmlProfileFileTest, ReplacingKeepsLinksAndPermissionBits) {
    ASSERT_EQ(::mkdir("real", 0755), 0);
    WriteBytes("real/settings.xml", kOld);
    ASSERT_EQ(::chmod("real/settings.xml", 0604) | ::symlink("real/settings.xml", "hop") |
                  ::symlink("hop", kFile) | ::symlink("real/new.xml", "dangling"),
              0);
    EXPECT_TRUE(SavePort(kFile, 6));
    const mode_t oldMask = ::umask(027);  // a new file follows it
    EXPECT_TRUE(SavePort("dangling", 1));
    ::umask(oldMask);
    struct stat st {};
    for (const char* szLink : {kFile, "hop", "dangling"})
        EXPECT_TRUE(::lstat(szLink, &st) == 0 && S_ISLNK(st.st_mode)) << szLink;
    EXPECT_EQ(ReadBytes("real/settings.xml"),
              "<profile><Main><COM-Port>6</COM-Port><Keep>me</Keep></Main></profile>");
    EXPECT_EQ(ReadBytes("real/new.xml"), "<profile><Main><COM-Port>1</COM-Port></Main></profile>");
    EXPECT_EQ(ListDir("real"), (std::set<std::string>{"new.xml", "settings.xml"}));
    for (const auto& [szFile, mode] :
         {std::pair{"real/settings.xml", 0604u}, {"real/new.xml", 0640u}})
        EXPECT_TRUE(::stat(szFile, &st) == 0 && (st.st_mode & 07777) == mode) << szFile;
}

}  // namespace
