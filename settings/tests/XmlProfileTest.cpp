#include "TempDir.h"
#include "XmlProfile.h"
#include "XmlText.h"

#include <climits>
#include <optional>

namespace {

const char* const kFile = "Config.xml";
const char* const kNoFile = "select file";
const std::string kDefaults = "<COM-Port>7</COM-Port><Hex-File>select file</Hex-File>";

std::string Main(const std::string& strKeys) {
    return "<profile><Main>" + strKeys + "</Main></profile>";
}
const std::string kFresh = Main(kDefaults);

std::string Nested(size_t nDepth, const std::string& strInner) {
    std::string strOpen, strClose;
    for (size_t i = 0; i < nDepth; ++i)
        strOpen += "<a>", strClose += "</a>";
    return strOpen + strInner + strClose;
}

// A declared Latin-1 file whose document type defines exponential and external entities.
std::string HostileProlog() {
    std::string strDtd = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE profile [";
    for (int i = 0; i < 10; ++i) {
        strDtd += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            strDtd += i == 0 ? "lol" : "&a" + std::to_string(i - 1) + ";";
        strDtd += "\">";
    }
    return strDtd +
           "<!ENTITY ext SYSTEM \"file:///etc/passwd\"><!ENTITY % p SYSTEM "
           "\"http://127.0.0.1:9/x\">%p;]>";
}

// The window's use of the store: read port and file, maybe write them, save.
struct Case {
    const char* szName;
    std::optional<std::string> before;  // none: no file yet
    int nPort;                          // as read
    std::optional<std::string> file;    // as read; none: the default was taken
    std::optional<int> writePort;
    std::optional<std::string> writeFile;
    std::string strAfter;
};

using XmlProfileTest = TempDirTest;

TEST_F(XmlProfileTest, EditsKeepTheDocumentAndSavedFilesAreStable) {
    const std::string strDeep = Nested(400'000, "x");
    // clang-format off
    const Case aCases[] = {
        {"first start", {}, 7, {}, {}, {}, kFresh},
        {"second start", kFresh, 7, kNoFile, {}, {}, kFresh},
        {"foreign root", "<settings><Other>x</Other></settings>", 7, {}, {}, {},
         "<settings><Other>x</Other><Main>" + kDefaults + "</Main></settings>"},
        {"first of two sections", Main("<COM-Port>4</COM-Port></Main><Main><COM-Port>9</COM-Port>"),
         4, {}, 1, {}, Main("<COM-Port>1</COM-Port><Hex-File>select file</Hex-File></Main><Main>"
                            "<COM-Port>9</COM-Port>")},
        {"namespace prefix",
         "<p:profile xmlns:p=\"urn:k\"><p:Main><p:COM-Port>6</p:COM-Port></p:Main></p:profile>",
         6, {}, 2, {}, "<p:profile xmlns:p=\"urn:k\"><p:Main><p:COM-Port>2</p:COM-Port><Hex-File>"
                       "select file</Hex-File></p:Main></p:profile>"},
        {"names are case-sensitive", Main("<com-port>5</com-port>"), 7, {}, {}, {},
         Main("<com-port>5</com-port>" + kDefaults)},
        {"negative port, empty file", Main("<COM-Port>-5</COM-Port><Hex-File/>"), -5, {}, {}, {},
         Main("<COM-Port>-5</COM-Port><Hex-File>select file</Hex-File>")},
        {"empty port", Main("<COM-Port/><Hex-File></Hex-File>"), 7, {}, {}, {}, kFresh},
        {"text that is no number stays", Main("<COM-Port> 12x</COM-Port><Hex-File>p</Hex-File>"),
         12, "p", {}, {}, Main("<COM-Port> 12x</COM-Port><Hex-File>p</Hex-File>")},
        {"unknown content kept in order",
         "<profile><!--by hand--><A><x>1</x><y/></A><Main><Pins><DTR>1</DTR></Pins><Hex-File>p"
         "</Hex-File><Z k=\"v\">z</Z></Main><B>b<![CDATA[<c>]]></B><?note keep?></profile>",
         7, "p", 1, "q",
         "<profile><!--by hand--><A><x>1</x><y/></A><Main><Pins><DTR>1</DTR></Pins><Hex-File>q"
         "</Hex-File><Z k=\"v\">z</Z><COM-Port>1</COM-Port></Main><B>b<![CDATA[<c>]]></B>"
         "<?note keep?></profile>"},
        {"all text below the key, written escaped",
         Main("<COM-Port>3</COM-Port><Hex-File>a<!--c--><![CDATA[b&]]><i>c</i>d</Hex-File>"),
         3, "ab&cd", {}, "<&>\"'",
         Main("<COM-Port>3</COM-Port><Hex-File>&lt;&amp;&gt;\"'</Hex-File>")},
        {"cut short", "<profile><Main><COM-Port>3</COM-Port>", 7, {}, {}, {}, kFresh},
        {"not xml", "not xml at all", 7, {}, {}, {}, kFresh},
        {"empty file", "", 7, {}, {}, {}, kFresh},
        {"comment only", "<!-- c -->", 7, {}, {}, {}, kFresh},
        {"mismatched tags", "<a></b>", 7, {}, {}, {}, kFresh},
        {"binary garbage", std::string("\x00\xFF<\x00profile>\x01\x02]]>&#0;\x9B\xC3(", 21),
         7, {}, {}, {}, kFresh},
        {"entities never expanded, declaration dropped", HostileProlog() +
         Main("<Hex-File>C:\\f\xFCr &a9;&ext;</Hex-File><COM-Port>&a9;</COM-Port>"),
         0, "C:\\f\xC3\xBCr &a9;&ext;", {}, {},
         Main("<Hex-File>C:\\f\xC3\xBCr &amp;a9;&amp;ext;</Hex-File>"
              "<COM-Port>&amp;a9;</COM-Port>")},
        {"CR and raw bytes as written by hand",
         Main("a&#13;b<Hex-File>x&#13;y&#x9;\xFF\xEF\x9C\x8D</Hex-File>"),
         7, "x\ry\t\xFF\r", {}, {},
         Main("a\xEF\x9C\x8D" "b<Hex-File>x\xEF\x9C\x8Dy\t\xEF\x9F\xBF\xEF\x9C\x8D</Hex-File>"
              "<COM-Port>7</COM-Port>")},
        // Deeper than any recursion over the tree could go on the stack.
        {"deep value", Main("<COM-Port>" + Nested(400'000, "5") + "</COM-Port>"), 5, {}, 3, {},
         Main("<COM-Port>3</COM-Port><Hex-File>select file</Hex-File>")},
        {"deep unknown content", "<profile>" + strDeep + "</profile>", 7, {}, {}, {},
         "<profile>" + strDeep + "<Main>" + kDefaults + "</Main></profile>"},
    };
    // clang-format on
    for (const Case& c : aCases) {
        std::remove(kFile);
        if (c.before) WriteBytes(kFile, *c.before);
        {
            CXmlProfile profile(kFile);
            EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), c.nPort) << c.szName;
            std::string strPath;
            EXPECT_EQ(profile.ReadString("Main", "Hex-File", kNoFile, strPath), c.file.has_value());
            EXPECT_EQ(strPath, c.file.value_or(kNoFile)) << c.szName;
            if (c.writePort) profile.WriteInt("Main", "COM-Port", *c.writePort);
            if (c.writeFile) profile.WriteString("Main", "Hex-File", *c.writeFile);
            ASSERT_TRUE(profile.Save()) << c.szName;
        }
        const std::string strSaved = ReadBytes(kFile);
        EXPECT_TRUE(strSaved == c.strAfter) << c.szName << ": " << strSaved.substr(0, 200);
        EXPECT_TRUE(CXmlProfile(kFile).Save());
        EXPECT_TRUE(ReadBytes(kFile) == strSaved) << c.szName << ": load and save changed it";
    }
}

TEST_F(XmlProfileTest, WithoutSaveNothingIsWrittenAndSectionsAreOnlyRead) {
    {
        CXmlProfile profile(kFile);
        profile.WriteInt("Main", "COM-Port", 9);
        EXPECT_TRUE(profile.ReadSection("Pins").empty());
    }
    EXPECT_TRUE(ListDir().empty());
    const std::string strPins =
        "<profile><Pins>x<DTR>1</DTR><!--c--><n:RTS>off</n:RTS><DTR>2</DTR></Pins>"
        "<Pins><CTS>0</CTS></Pins></profile>";
    WriteBytes(kFile, strPins);
    {
        CXmlProfile profile(kFile);
        using Keys = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(profile.ReadSection("Pins"), (Keys{{"DTR", "1"}, {"RTS", "off"}, {"DTR", "2"}}));
        EXPECT_TRUE(profile.ReadSection("pins").empty());
        EXPECT_TRUE(profile.ReadSection("Main").empty());
        EXPECT_TRUE(profile.Save());
    }
    EXPECT_EQ(ReadBytes(kFile), strPins);
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

TEST(XmlTextTest, ParseDecimalReadsLikeAtoiButSaturates) {
    // clang-format off
    for (const auto& [szText, nValue] : {std::pair{"42", 42}, {" \t\n\v\f\r-17xyz", -17}, {"+3", 3},
             {"- 3", 0}, {"abc", 0}, {"", 0}, {"0x1F", 0}, {"007", 7}, {"2147483647", INT_MAX},
             {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
             {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN}})
        EXPECT_EQ(xmltext::ParseDecimal(szText), nValue) << szText;
    // clang-format on
}

}  // namespace
