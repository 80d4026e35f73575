#include "TempDir.h"
#include "XmlProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kFile = "Config.xml";

class HostileConfigTest : public TempDirTest {
protected:
    static std::string Nested(size_t nDepth, const std::string& strInner) {
        std::string strXml;
        strXml.reserve(nDepth * 7 + strInner.size());
        for (size_t i = 0; i < nDepth; ++i)
            strXml += "<a>";
        strXml += strInner;
        for (size_t i = 0; i < nDepth; ++i)
            strXml += "</a>";
        return strXml;
    }
};

// Deeper than any recursion over the tree could go on the stack.
TEST_F(HostileConfigTest, DeeplyNestedElements) {
    const size_t nDepth = 400'000;
    const std::string strDeep = "<profile><Deep>" + Nested(nDepth, "x") + "</Deep></profile>";
    WriteBytes(kFile, strDeep);
    {
        CXmlProfile profile(kFile);
        ASSERT_TRUE(profile.Save());
    }
    EXPECT_TRUE(ReadBytes(kFile) == strDeep);

    WriteBytes(kFile,
               "<profile><Main><COM-Port>" + Nested(nDepth, "5") + "</COM-Port></Main></profile>");
    {
        CXmlProfile profile(kFile);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 5);
        EXPECT_EQ(profile.ReadSection("Main").at(0).second, "5");
        profile.WriteInt("Main", "COM-Port", 3);
        ASSERT_TRUE(profile.Save());
    }
    EXPECT_EQ(ReadBytes(kFile), "<profile><Main><COM-Port>3</COM-Port></Main></profile>");
}

TEST_F(HostileConfigTest, TenMegabyteValue) {
    std::string strHuge(10u << 20, 'v');
    for (size_t i = 0; i < strHuge.size(); i += 4099)
        strHuge[i] = static_cast<char>(i % 251);
    {
        CXmlProfile profile(kFile);
        profile.WriteString("Main", "Hex-File", strHuge);
        profile.WriteInt("Main", "COM-Port", 4);
        ASSERT_TRUE(profile.Save());
    }
    CXmlProfile profile(kFile);
    std::string strRead;
    EXPECT_TRUE(profile.ReadString("Main", "Hex-File", "", strRead));
    EXPECT_TRUE(strRead == strHuge);
    EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 0), 4);
}

// What the store could not load again it does not write: the old file stays.
TEST_F(HostileConfigTest, ValueTooLargeForTheFileIsNotSaved) {
    const std::string strOld = "<profile><Main><COM-Port>1</COM-Port></Main></profile>";
    WriteBytes(kFile, strOld);
    CXmlProfile profile(kFile);
    profile.WriteString("Main", "Hex-File", std::string(17u << 20, 'v'));
    EXPECT_FALSE(profile.Save());
    profile.WriteString("Main", "Hex-File", std::string(6u << 20, '\xFF'));  // escapes triple it
    EXPECT_FALSE(profile.Save());
    EXPECT_EQ(ReadBytes(kFile), strOld);
    EXPECT_EQ(ListDir(), std::vector<std::string>{kFile});
}

TEST_F(HostileConfigTest, OversizedFilesAreNeitherLoadedNorReplaced) {
    const int nFd = ::open(kFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(nFd, 0);
    ASSERT_EQ(::ftruncate(nFd, 100 << 20), 0);  // sparse: costs no disk
    ::close(nFd);
    {
        CXmlProfile profile(kFile);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), 7);
        EXPECT_FALSE(profile.Save());
    }
    struct stat st {};
    ASSERT_EQ(::stat(kFile, &st), 0);
    EXPECT_EQ(st.st_size, 100 << 20);

    const std::string strMarkup = "<profile>" + std::string(1'000'000, '<') + "</profile>";
    WriteBytes(kFile, strMarkup);
    CXmlProfile profile(kFile);
    EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), 7);
    EXPECT_FALSE(profile.Save());
    EXPECT_TRUE(ReadBytes(kFile) == strMarkup);
}

TEST_F(HostileConfigTest, EntityDefinitionsAreNeverExpanded) {
    std::string strDtd = "<!DOCTYPE profile [<!ENTITY a0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        strDtd += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            strDtd += "&a" + std::to_string(i - 1) + ";";
        strDtd += "\">";
    }
    strDtd +=
        "<!ENTITY ext SYSTEM \"file:///etc/passwd\"><!ENTITY % p SYSTEM "
        "\"http://127.0.0.1:9/x\">%p;]>";
    WriteBytes(kFile, strDtd +
                          "<profile><Main><Hex-File>&a9;&ext;</Hex-File><COM-Port>&a9;</COM-Port>"
                          "</Main></profile>");
    {
        CXmlProfile profile(kFile);
        std::string strPath;
        EXPECT_TRUE(profile.ReadString("Main", "Hex-File", "", strPath));
        EXPECT_EQ(strPath, "&a9;&ext;");
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 1), 0);
        ASSERT_TRUE(profile.Save());
    }
    // The document type is gone; the references stay literal text.
    EXPECT_EQ(ReadBytes(kFile),
              "<profile><Main><Hex-File>&amp;a9;&amp;ext;</Hex-File>"
              "<COM-Port>&amp;a9;</COM-Port></Main></profile>");
}

TEST_F(HostileConfigTest, BinaryGarbageIsReplacedByAFreshDocument) {
    std::string strGarbage("\x00\xFF<\x00profile>\x01\x02]]>&#0;", 18);
    for (int i = 0; i < 4096; ++i)
        strGarbage += static_cast<char>((i * 7919) & 0xFF);
    WriteBytes(kFile, strGarbage);
    {
        CXmlProfile profile(kFile);
        std::string strPath;
        EXPECT_FALSE(profile.ReadString("Main", "Hex-File", "select file", strPath));
        ASSERT_TRUE(profile.Save());
    }
    EXPECT_EQ(ReadBytes(kFile), "<profile><Main><Hex-File>select file</Hex-File></Main></profile>");
}

TEST_F(HostileConfigTest, SymlinkToADeviceOrDirectoryIsLeftAlone) {
    ASSERT_EQ(::symlink("/dev/zero", kFile), 0);
    ASSERT_EQ(::mkdir("dir", 0755), 0);
    ASSERT_EQ(::symlink("dir", "todir"), 0);
    for (const char* szName : {kFile, "todir"}) {
        CXmlProfile profile(szName);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 2), 2);
        EXPECT_FALSE(profile.Save());
    }
    struct stat st {};
    ASSERT_EQ(::lstat(kFile, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(ListDir("dir").empty());
}

}  // namespace
