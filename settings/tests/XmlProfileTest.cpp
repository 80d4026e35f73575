#include "TempDir.h"
#include "XmlProfile.h"

namespace {

const char* const kFile = "Config.xml";
const std::string kFirstStart =
    "<profile><Main><COM-Port>0</COM-Port><Hex-File>select file</Hex-File></Main></profile>";

class XmlProfileTest : public TempDirTest {
protected:
    // Opens the store on strContent, runs fnUse, saves, and returns the saved file.
    template <typename F>
    std::string SaveAfter(const std::string& strContent, F fnUse) {
        WriteBytes(kFile, strContent);
        CXmlProfile profile(kFile);
        fnUse(profile);
        EXPECT_TRUE(profile.Save());
        return ReadBytes(kFile);
    }

    static void StartUp(CXmlProfile& profile, int& nPort, std::string& strPath) {
        nPort = profile.ReadInt("Main", "COM-Port", 0);
        profile.ReadString("Main", "Hex-File", "select file", strPath);
    }
};

TEST_F(XmlProfileTest, FirstStartWritesExactDocument) {
    int nPort = -1;
    std::string strPath;
    {
        CXmlProfile profile(kFile);
        nPort = profile.ReadInt("Main", "COM-Port", 0);
        EXPECT_FALSE(profile.ReadString("Main", "Hex-File", "select file", strPath));
        EXPECT_TRUE(profile.Save());
    }
    EXPECT_EQ(nPort, 0);
    EXPECT_EQ(strPath, "select file");
    EXPECT_EQ(ReadBytes(kFile), kFirstStart);

    // The second start finds both values stored and leaves the file as it was.
    CXmlProfile again(kFile);
    StartUp(again, nPort, strPath);
    EXPECT_TRUE(again.ReadString("Main", "Hex-File", "x", strPath));
    EXPECT_TRUE(again.Save());
    EXPECT_EQ(ReadBytes(kFile), kFirstStart);
}

TEST_F(XmlProfileTest, PortChangeAsFirstUseWritesOnlyThePort) {
    CXmlProfile profile(kFile);
    EXPECT_TRUE(profile.WriteInt("Main", "COM-Port", 3));
    EXPECT_TRUE(profile.Save());
    EXPECT_EQ(ReadBytes(kFile), "<profile><Main><COM-Port>3</COM-Port></Main></profile>");
}

TEST_F(XmlProfileTest, TheFirstMatchingKeyIsUsedAndAllElseKept) {
    struct Case {
        const char* szName;
        const char* szBefore;
        int nRead, nWrite;  // COM-Port as read, then written
        const char* szAfter;
    };
    for (const Case& c :
         {Case{"foreign root", "<settings><Other>x</Other></settings>", 0, 0,
               "<settings><Other>x</Other><Main><COM-Port>0</COM-Port></Main></settings>"},
          Case{"two sections",
               "<profile><Main><COM-Port>4</COM-Port></Main><Main><COM-Port>9</COM-Port></Main>"
               "</profile>",
               4, 7,
               "<profile><Main><COM-Port>7</COM-Port></Main><Main><COM-Port>9</COM-Port></Main>"
               "</profile>"},
          Case{"namespace prefix",
               "<p:profile "
               "xmlns:p=\"urn:k\"><p:Main><p:COM-Port>6</p:COM-Port></p:Main></p:profile>",
               6, 2,
               "<p:profile "
               "xmlns:p=\"urn:k\"><p:Main><p:COM-Port>2</p:COM-Port></p:Main></p:profile>"},
          Case{"case-sensitive names", "<profile><Main><com-port>5</com-port></Main></profile>", 0,
               0, "<profile><Main><com-port>5</com-port><COM-Port>0</COM-Port></Main></profile>"},
          Case{"negative number", "<profile><Main><COM-Port>-5</COM-Port></Main></profile>", -5, -5,
               "<profile><Main><COM-Port>-5</COM-Port></Main></profile>"}}) {
        const std::string strSaved = SaveAfter(c.szBefore, [&](CXmlProfile& p) {
            EXPECT_EQ(p.ReadInt("Main", "COM-Port", 0), c.nRead) << c.szName;
            p.WriteInt("Main", "COM-Port", c.nWrite);
        });
        EXPECT_EQ(strSaved, c.szAfter) << c.szName;
    }
}

TEST_F(XmlProfileTest, EmptyKeyGetsTheDefaultWrittenAndSaved) {
    for (const char* szContent :
         {"<profile><Main><COM-Port></COM-Port><Hex-File/></Main></profile>",
          "<profile><Main><COM-Port/><Hex-File></Hex-File></Main></profile>"}) {
        const std::string strSaved = SaveAfter(szContent, [](CXmlProfile& p) {
            EXPECT_EQ(p.ReadInt("Main", "COM-Port", 7), 7);
            std::string strPath;
            EXPECT_FALSE(p.ReadString("Main", "Hex-File", "select file", strPath));
            EXPECT_EQ(strPath, "select file");
        });
        EXPECT_EQ(strSaved,
                  "<profile><Main><COM-Port>7</COM-Port><Hex-File>select file</Hex-File>"
                  "</Main></profile>");
    }
}

TEST_F(XmlProfileTest, NonNumericTextReadsAsLeadingDigitsAndStays) {
    const std::string strContent =
        "<profile><Main><COM-Port>abc</COM-Port><B> 12x</B><C>+8</C></Main></profile>";
    const std::string strSaved = SaveAfter(strContent, [](CXmlProfile& p) {
        EXPECT_EQ(p.ReadInt("Main", "COM-Port", 3), 0);
        EXPECT_EQ(p.ReadInt("Main", "B", 3), 12);
        EXPECT_EQ(p.ReadInt("Main", "C", 3), 8);
    });
    EXPECT_EQ(strSaved, strContent);
}

TEST_F(XmlProfileTest, NegativeNumberRoundTrip) {
    const std::string strSaved =
        SaveAfter("<profile><Main><COM-Port>-5</COM-Port></Main></profile>",
                  [](CXmlProfile& p) { EXPECT_EQ(p.ReadInt("Main", "COM-Port", 0), -5); });
    CXmlProfile fresh("other.xml");
    fresh.WriteInt("Main", "COM-Port", -5);
    ASSERT_TRUE(fresh.Save());
    EXPECT_EQ(ReadBytes("other.xml"), strSaved);
    EXPECT_EQ(strSaved, "<profile><Main><COM-Port>-5</COM-Port></Main></profile>");
}

TEST_F(XmlProfileTest, UnknownContentSurvivesInOrder) {
    const std::string strContent =
        "<profile><!-- edited by hand --><A><x>1</x><y/></A>"
        "<Main><Pins><DTR>1</DTR></Pins><Hex-File>p.HEX</Hex-File><Z k=\"v\">z</Z></Main>"
        "<B>b<![CDATA[<c>]]></B><?note keep?></profile>";
    const std::string strSaved = SaveAfter(strContent, [](CXmlProfile& p) {
        std::string strPath;
        EXPECT_TRUE(p.ReadString("Main", "Hex-File", "", strPath));
        p.WriteInt("Main", "COM-Port", 1);
        p.WriteString("Main", "Hex-File", "q.HEX");
    });
    EXPECT_EQ(strSaved,
              "<profile><!-- edited by hand --><A><x>1</x><y/></A>"
              "<Main><Pins><DTR>1</DTR></Pins><Hex-File>q.HEX</Hex-File><Z k=\"v\">z</Z>"
              "<COM-Port>1</COM-Port></Main><B>b<![CDATA[<c>]]></B><?note keep?></profile>");
}

TEST_F(XmlProfileTest, TextIsAllTextBelowTheKeyAndWriteReplacesIt) {
    const std::string strSaved = SaveAfter(
        "<profile><Main><Hex-File>a<!--c--><![CDATA[b&]]><i>c</i></Hex-File></Main></profile>",
        [](CXmlProfile& p) {
            std::string strPath;
            EXPECT_TRUE(p.ReadString("Main", "Hex-File", "", strPath));
            EXPECT_EQ(strPath, "ab&c");
            p.WriteString("Main", "Hex-File", "<&>\"'");
        });
    EXPECT_EQ(strSaved, "<profile><Main><Hex-File>&lt;&amp;&gt;\"'</Hex-File></Main></profile>");
    CXmlProfile reread(kFile);
    std::string strPath;
    reread.ReadString("Main", "Hex-File", "", strPath);
    EXPECT_EQ(strPath, "<&>\"'");
}

TEST_F(XmlProfileTest, DestroyedWithoutSaveLeavesFileUnchanged) {
    const std::string strContent = "<profile><Main><COM-Port>2</COM-Port></Main></profile>";
    WriteBytes(kFile, strContent);
    {
        CXmlProfile profile(kFile);
        std::string strPath;
        profile.ReadString("Main", "Hex-File", "select file", strPath);
        profile.WriteInt("Main", "COM-Port", 9);
    }
    EXPECT_EQ(ReadBytes(kFile), strContent);

    {
        CXmlProfile profile("absent.xml");
        profile.ReadInt("Main", "COM-Port", 0);
    }
    EXPECT_FALSE(Exists("absent.xml"));
}

TEST_F(XmlProfileTest, NotWellFormedFileIsReplacedOnSave) {
    for (const char* szContent : {"<profile><Main><COM-Port>3</COM-Port>", "not xml at all", "",
                                  "<!-- only a comment -->", "<a></b>"}) {
        const std::string strSaved = SaveAfter(
            szContent, [](CXmlProfile& p) { EXPECT_EQ(p.ReadInt("Main", "COM-Port", 0), 0); });
        EXPECT_EQ(strSaved, "<profile><Main><COM-Port>0</COM-Port></Main></profile>") << szContent;
    }
}

TEST_F(XmlProfileTest, ReadSectionListsKeysAndCreatesNothing) {
    {
        CXmlProfile profile(kFile);
        EXPECT_TRUE(profile.ReadSection("Pins").empty());
        int nPort = 0;
        std::string strPath;
        StartUp(profile, nPort, strPath);
        EXPECT_TRUE(profile.ReadSection("Pins").empty());
        ASSERT_TRUE(profile.Save());
    }
    EXPECT_EQ(ReadBytes(kFile), kFirstStart);

    WriteBytes(kFile,
               "<profile><Pins>x<DTR>1</DTR><!--c--><n:RTS>off</n:RTS><DTR>2</DTR></Pins>"
               "<Pins><CTS>0</CTS></Pins></profile>");
    const CXmlProfile profile(kFile);
    using Keys = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(profile.ReadSection("Pins"), (Keys{{"DTR", "1"}, {"RTS", "off"}, {"DTR", "2"}}));
    EXPECT_TRUE(profile.ReadSection("pins").empty());
}

TEST_F(XmlProfileTest, NamesNoElementCanCarryAreNeverCreated) {
    CXmlProfile profile(kFile);
    for (const std::string& strBad :
         {std::string(), std::string("1st"), std::string("a b"), std::string("x:Main"),
          std::string("<"), std::string("a\0b", 3), std::string("\xFF")}) {
        EXPECT_FALSE(profile.WriteString(strBad, "Key", "v"));
        EXPECT_FALSE(profile.WriteInt("Main", strBad, 1));
        EXPECT_EQ(profile.ReadInt("Main", strBad, 4), 4);
        std::string strValue;
        EXPECT_FALSE(profile.ReadString(strBad, "Key", "d", strValue));
        EXPECT_EQ(strValue, "d");
    }
    EXPECT_TRUE(profile.WriteString("Größe", "_k.1-ü", "ok"));
    ASSERT_TRUE(profile.Save());
    EXPECT_EQ(ReadBytes(kFile), "<profile><Größe><_k.1-ü>ok</_k.1-ü></Größe></profile>");
}

TEST_F(XmlProfileTest, DocumentTypeAndDeclarationAreDropped) {
    const std::string strSaved = SaveAfter(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<!DOCTYPE profile [<!ENTITY e \"expanded\"> <!ELEMENT profile ANY>]>\n"
        "<profile><Main><Hex-File>C:\\f\xFC"
        "r &e;.HEX</Hex-File></Main></profile>",
        [](CXmlProfile& p) {
            std::string strPath;
            EXPECT_TRUE(p.ReadString("Main", "Hex-File", "", strPath));
            // Declared Latin-1 is read as such; the entity is not expanded.
            EXPECT_EQ(strPath, "C:\\f\xC3\xBCr &e;.HEX");
        });
    EXPECT_EQ(strSaved,
              "<profile><Main><Hex-File>C:\\f\xC3\xBCr &amp;e;.HEX</Hex-File></Main></profile>");
}

TEST_F(XmlProfileTest, HandWrittenTextKeepsItsValueAcrossSaves) {
    // A CR given as a reference and raw bytes that are not UTF-8, in a key and elsewhere.
    const std::string strContent =
        "<profile><Main>a&#13;b<Hex-File>x&#13;y&#x9;\xFF\xEF\x9C\x8D</Hex-File></Main></profile>";
    const std::string strValue = "x\ry\t\xFF\r";
    const std::string strSaved = SaveAfter(strContent, [&](CXmlProfile& p) {
        std::string strPath;
        EXPECT_TRUE(p.ReadString("Main", "Hex-File", "", strPath));
        EXPECT_EQ(strPath, strValue);
    });
    for (int nSave = 0; nSave < 2; ++nSave) {
        CXmlProfile profile(kFile);
        std::string strPath;
        EXPECT_TRUE(profile.ReadString("Main", "Hex-File", "", strPath));
        EXPECT_EQ(strPath, strValue);
        ASSERT_TRUE(profile.Save());
        EXPECT_EQ(ReadBytes(kFile), strSaved);
    }
    EXPECT_EQ(strSaved.find('\r'), std::string::npos);
    EXPECT_EQ(strSaved.find('\xFF'), std::string::npos);
}

}  // namespace
