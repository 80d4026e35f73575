#include "AtomicFile.h"
#include "TestKit.h"
#include "XmlProfile.h"
#include "XmlText.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <climits>
#include <csignal>
#include <optional>
#include <set>
#include <tuple>

namespace {

using namespace std::string_literals;
using Keys = std::vector<std::pair<std::string, std::string>>;
const char* const kFile = "Config.xml";
const char* const kBroken = "Config.xml.broken";
const char* const kNoFile = "select file";
const std::string kDefaults = "<COM-Port>7</COM-Port><Hex-File>select file</Hex-File>";

std::string Main(const std::string& strKeys) {
    return "<profile><Main>" + strKeys + "</Main></profile>";
}
const std::string kFresh = Main(kDefaults);
const std::string kOld = Main("<COM-Port>2</COM-Port><Keep>me</Keep>");

bool SavePort(const std::string& strFile, int nPort) {
    CXmlProfile profile(strFile);
    profile.WriteInt("Main", "COM-Port", nPort);
    return profile.Save();
}

std::set<std::string> ListDir(const std::string& strDir = ".") {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
        names.insert(entry.path().filename());
    return names;
}

// What a replacement or a rewrite would change of what the name leads to (all zero for none).
auto Snapshot(const std::string& strPath) {
    struct stat st {};
    std::ignore = ::stat(strPath.c_str(), &st);
    return std::tuple(st.st_ino, st.st_mode, st.st_size, st.st_mtim.tv_nsec);
}

// A write past the limit fails instead of ending the process, and the limit binds root too.
bool SaveUnderSizeLimit(CXmlProfile& profile, rlim_t nLimit) {
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    const rlimit limit{nLimit, oldLimit.rlim_max};
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool bSaved = profile.Save();
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    std::signal(SIGXFSZ, oldHandler);
    return bSaved;
}

// The window's use of the store: read port and file, maybe write them, save.
struct Case {
    const char* szName;
    std::optional<std::string> before;  // none: no file yet
    std::string strAfter = kFresh;
    int nPort = 7;                      // as read
    std::optional<std::string> file{};  // as read; none: the default was taken
    std::optional<int> writePort{};
    std::optional<std::string> writeFile{};
    bool bBroken = false;  // the file as it was is kept as kBroken
};

using XmlProfileTest = CScratchDirTest;

TEST_F(XmlProfileTest, EditsKeepTheDocumentAndSavedFilesAreStable) {
    // Deeper than any recursion over the tree could go on the stack.
    std::string strOpen, strClose;
    for (int i = 0; i < 400'000; ++i)
        strOpen += "<a>", strClose += "</a>";
    // clang-format off
    const Case aCases[] = {
        {"first start", {}}, {"second start", kFresh, kFresh, 7, kNoFile},
        {.szName = "cut short", .before = Main("<COM-Port>3</COM-Port><Pins>"), .bBroken = true},
        {.szName = "binary garbage", .before = "\0\xFF<\0p>\x01]]>&#0;\x9B\xC3("s, .bBroken = true},
        {"empty file", ""}, {"empty keys", Main("<COM-Port/><Hex-File></Hex-File>")},
        {"foreign root", "<settings><Other>x</Other></settings>",
         "<settings><Other>x</Other><Main>" + kDefaults + "</Main></settings>"},
        {"first of two sections", Main("<COM-Port>4</COM-Port></Main><Main><COM-Port>9</COM-Port>"),
         Main("<COM-Port>1</COM-Port><Hex-File>select file</Hex-File></Main><Main>"
              "<COM-Port>9</COM-Port>"), 4, {}, 1},
        {"namespace prefix",
         "<p:profile xmlns:p=\"urn:k\"><p:Main><p:COM-Port>6</p:COM-Port></p:Main></p:profile>",
         "<p:profile xmlns:p=\"urn:k\"><p:Main><p:COM-Port>2</p:COM-Port><Hex-File>select file"
         "</Hex-File></p:Main></p:profile>", 6, {}, 2},
        {"unknown content kept in order",
         "<profile><!--by hand--><A><x>1</x><y/></A><Main><Pins><DTR>1</DTR></Pins><Hex-File>p"
         "</Hex-File><Z k=\"v\">z</Z></Main><B>b<![CDATA[<c>]]></B><?note keep?></profile>",
         "<profile><!--by hand--><A><x>1</x><y/></A><Main><Pins><DTR>1</DTR></Pins><Hex-File>q"
         "</Hex-File><Z k=\"v\">z</Z><COM-Port>1</COM-Port></Main><B>b<![CDATA[<c>]]></B>"
         "<?note keep?></profile>", 7, "p", 1, "q"},
        {"all text below the key, a number read like atoi, text written escaped",
         Main("<COM-Port> 12x</COM-Port><Hex-File>a<!--c--><![CDATA[b&]]><i>c</i>d</Hex-File>"),
         Main("<COM-Port> 12x</COM-Port><Hex-File>&lt;&amp;&gt;\"'</Hex-File>"), 12, "ab&cd", {},
         "<&>\"'"},
        {"declared Latin-1, entities neither expanded nor fetched, declaration dropped",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE profile [<!ENTITY a9 \"lol\">"
         "<!ENTITY ext SYSTEM \"file:///etc/passwd\"><!ENTITY % p SYSTEM \"http://x\">%p;]>" +
         Main("<Hex-File>C:\\f\xFCr &a9;&ext;</Hex-File><COM-Port>&a9;</COM-Port>"),
         Main("<Hex-File>C:\\f\xC3\xBCr &amp;a9;&amp;ext;</Hex-File><COM-Port>&amp;a9;</COM-Port>"),
         0, "C:\\f\xC3\xBCr &a9;&ext;"},
        {"CR and raw bytes as written by hand",
         Main("a&#13;b<Hex-File>x&#13;y&#x9;\xFF\xEF\x9C\x8D</Hex-File>"),
         Main("a\xEF\x9C\x8D" "b<Hex-File>x\xEF\x9C\x8Dy\t\xEF\x9F\xBF\xEF\x9C\x8D</Hex-File>"
              "<COM-Port>7</COM-Port>"), 7, "x\ry\t\xFF\r"},
        {"deep value", Main("<COM-Port>" + strOpen + "5" + strClose + "</COM-Port>"),
         Main("<COM-Port>3</COM-Port><Hex-File>select file</Hex-File>"), 5, {}, 3},
    };
    // clang-format on
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szName);
        std::remove(kFile);
        std::remove(kBroken);
        if (c.before) WriteFile(kFile, *c.before);
        CXmlProfile profile(kFile);
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), c.nPort);
        std::string strPath;
        EXPECT_EQ(profile.ReadString("Main", "Hex-File", kNoFile, strPath), c.file.has_value());
        EXPECT_EQ(strPath, c.file.value_or(kNoFile));
        if (c.writePort) profile.WriteInt("Main", "COM-Port", *c.writePort);
        if (c.writeFile) profile.WriteString("Main", "Hex-File", *c.writeFile);
        ASSERT_TRUE(profile.Save());
        EXPECT_TRUE(ReadFile(kFile) == c.strAfter) << ReadFile(kFile).substr(0, 200);
        EXPECT_TRUE(CXmlProfile(kFile).Save() && ReadFile(kFile) == c.strAfter) << "not stable";
        EXPECT_EQ(ReadFile(kBroken), c.bBroken ? *c.before : "");
        EXPECT_EQ(ListDir().size(), c.bBroken ? 2u : 1u) << "an empty copy or a temporary left";
    }
}

// A section's keys are read in document order and a lookup creates nothing. Names of any
// script, to both ends of each range of name characters, are taken; names no element can carry
// are never created; nothing is written without Save.
TEST_F(XmlProfileTest, ReadsSectionsChecksNamesAndWritesNothingWithoutSave) {
    const std::string strPins =
        "<profile><Pins>x<DTR>1</DTR><!--c--><n:RTS>off</n:RTS><DTR>2</DTR></Pins>"
        "<Pins><CTS>0</CTS></Pins></profile>";
    WriteFile(kFile, strPins);
    CXmlProfile profile(kFile);
    EXPECT_EQ(profile.ReadSection("Pins"), (Keys{{"DTR", "1"}, {"RTS", "off"}, {"DTR", "2"}}));
    EXPECT_TRUE(profile.ReadSection("pins").empty() && profile.ReadSection("Main").empty());
    for (const std::string& strBad : {""s, "1st"s, "a b"s, "x:Main"s, "<"s, "a\0b"s, "\xFF"s,
                                      "a\u00D7"s, "\u037E"s, "a\u2000"s, "\uFFFE"s}) {
        EXPECT_FALSE(profile.WriteString(strBad, "Key", "v"));
        EXPECT_FALSE(profile.WriteInt("Main", strBad, 1));
        EXPECT_EQ(profile.ReadInt("Main", strBad, 4), 4);
        std::string strValue;
        EXPECT_FALSE(profile.ReadString(strBad, "Key", "d", strValue) || strValue != "d");
    }
    // clang-format off
    const std::string aGood[] = {"Größe", "Ωμέγα", "設定", "AZaz_-.09\u00B7",
        "\u00C0\u00D8\u00F8\u0370\u037F\u200C\u2070\u2C00\u3001\uF900\uFDF0\U00010000\u0300\u203F",
        "\u00D6\u00F6\u02FF\u037D\u1FFF\u200D\u218F\u2FEF\uD7FF\uFDCF\uFFFD\U000EFFFF\u036F\u2040"};
    // clang-format on
    for (const std::string& strName : aGood)
        EXPECT_TRUE(profile.WriteString(strName, "k" + strName, "ok")) << strName;
    EXPECT_EQ(ReadFile(kFile), strPins);
    ASSERT_TRUE(profile.Save());
    EXPECT_EQ(ReadFile(kFile).find("<Main"), std::string::npos) << "made by a lookup or bad name";
}

// Valid UTF-8, up to the edges of each length, is written as itself; anything else is escaped
// so that the file stays well-formed.
TEST_F(XmlProfileTest, AnyBytesComeBackAsWrittenAndStayStable) {
    std::string strHuge(10u << 20, 'v');  // every byte value, as 4099 and 256 are coprime
    for (size_t i = 0; i < strHuge.size(); i += 4099)
        strHuge[i] = static_cast<char>(i % 256);
    // clang-format off
    for (const auto& [strValue, bAsItself] : std::initializer_list<std::pair<std::string, bool>>{
             {"  ", true}, {"\n\t", true}, {"\x1F", false}, {"cr\r\n", false}, {"\xE2\x82", false},
             {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\x9B\xBF\xEF\xA0\x80"
              "\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},
             {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false},  // surrogates
             {"\xC1\xBF", false}, {"\xE0\x9F\xBF", false}, {"\xF0\x8F\xBF\xBF", false},  // overlong
             {"\xF4\x90\x80\x80", false}, {"\xEF\x9C\x80", false}, {"\xEF\x9F\xBF", false},
             {"\xEF\xBF\xBE", false}, {"\xEF\xBF\xBF", false}, {strHuge, false}}) {
        // clang-format on
        SCOPED_TRACE(strValue.substr(0, 40));
        CXmlProfile written(kFile);
        ASSERT_TRUE(written.WriteString("Main", "Hex-File", strValue) && written.Save());
        const std::string strFile = ReadFile(kFile);
        EXPECT_EQ(strFile.find(strValue) != std::string::npos, bAsItself);
        EXPECT_TRUE(CXmlProfile(kFile).ReadSection("Main") == (Keys{{"Hex-File", strValue}}));
        EXPECT_TRUE(CXmlProfile(kFile).Save() && ReadFile(kFile) == strFile) << "not stable";
    }
}

// Two windows read the file, then each saves a change of its own: neither loses the other's,
// and a default that one of them filled in yields to the value the other saved.
TEST_F(XmlProfileTest, SaversKeepEachOthersKeys) {
    WriteFile(kFile, kOld);
    CXmlProfile first(kFile);
    CXmlProfile second(kFile);
    EXPECT_EQ(second.ReadInt("Main", "Baud", 9600), 9600);
    first.WriteInt("Main", "Baud", 57600);
    ASSERT_TRUE(first.Save());
    second.WriteInt("Main", "COM-Port", 5);
    ASSERT_TRUE(second.Save());
    EXPECT_EQ(ReadFile(kFile), Main("<COM-Port>5</COM-Port><Keep>me</Keep><Baud>57600</Baud>"));
}

// The store works in memory, but what it must not or cannot replace stays exactly as it was.
TEST_F(XmlProfileTest, RefusedSavesLeaveEverythingAsItWas) {
    for (const char* szFile :
         {"readonly.xml", "unreadable.xml", "escaped.xml", "cut.xml", "sparse.xml", "plain"})
        WriteFile(szFile, kOld);
    WriteFile("markup.xml", "<profile>" + std::string(1'000'000, '<') + "</profile>");
    WriteFile("typo.xml", "<profile><Main><COM-Port>3</COM-Port>");  // not well-formed, no room for
    std::filesystem::resize_file("sparse.xml", 100u << 20);          // costs no disk
    ASSERT_EQ(::chmod("readonly.xml", 0444) | ::chmod("unreadable.xml", 0200) |
                  ::mkfifo("fifo.xml", 0644) | ::symlink("loop.xml", "loop.xml") |
                  ::mkdir("typo.xml.broken", 0755),  // its copy
              0);
    struct Refusal {
        std::string strPath;
        std::string strValue = "v";
        bool bCut = false;  // the write fails half way, at a file size limit
    };
    // clang-format off
    const Refusal aRefusals[] = {
        {"readonly.xml"}, {"unreadable.xml"}, {"fifo.xml"}, {"loop.xml"}, {"sparse.xml"},
        {"markup.xml"}, {"typo.xml"}, {"plain/Config.xml"}, {"missing/Config.xml"}, {""},
        {"cut.xml", "v", true},
        {"escaped.xml", std::string(6u << 20, '\xFF')},  // each byte written as three
    };
    // clang-format on
    for (const Refusal& r : aRefusals) {
        if (::geteuid() == 0 && r.strPath == "unreadable.xml") continue;  // root reads it
        SCOPED_TRACE(r.strPath);
        const std::set<std::string> names = ListDir();
        const auto before = Snapshot(r.strPath);
        CXmlProfile profile(r.strPath);
        EXPECT_TRUE(profile.WriteString("Main", "Hex-File", r.strValue) &&
                    profile.WriteInt("Main", "COM-Port", 8));
        EXPECT_EQ(profile.ReadInt("Main", "COM-Port", 7), 8);
        EXPECT_FALSE(r.bCut ? SaveUnderSizeLimit(profile, 80) : profile.Save());
        EXPECT_EQ(Snapshot(r.strPath), before);
        EXPECT_EQ(ListDir(), names);
        EXPECT_EQ(profile.Save(), r.bCut) << "a failed write may be retried, a refusal stands";
    }
}

// Links resolve relative to their folder ("h" is as short as a target gets), as far as the kernel
// follows: 40 in a row, l37's own 37 and kFile's 3. Where the folder takes no new file, a writable
// file is rewritten in place; root passes by a folder's permissions, so it saves there as nobody.
TEST_F(XmlProfileTest, SavesKeepLinksAndPermissionBitsOrRewriteInPlace) {
    ASSERT_EQ(::mkdir("real", 0755) | ::mkdir("ro", 0755) | ::chmod(".", 0755), 0);
    WriteFile("real/settings.xml", kOld);
    WriteFile("ro/Config.xml", Main("<COM-Port>123</COM-Port><Keep>me</Keep>"));  // shrinks
    ASSERT_EQ(::chmod("real/settings.xml", 0604) | ::symlink("settings.xml", "real/link") |
                  ::symlink("real/link", "h") | ::symlink("h", kFile) |
                  ::symlink("real/new.xml", "dangling") | ::chmod("ro/Config.xml", 0666) |
                  ::chmod("ro", 0555),
              0);
    for (int i = 1; i <= 37; ++i) {
        const std::string strTo = i == 1 ? kFile : "l" + std::to_string(i - 1);
        ASSERT_EQ(::symlink(strTo.c_str(), ("l" + std::to_string(i)).c_str()), 0);
    }
    EXPECT_TRUE(SavePort("l37", 6));
    // Savers take turns by locking the folder of the file a name leads to.
    const int nFolder = ::open("real", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    {
        const atomicfile::CDirectoryLock turn("h");
        EXPECT_NE(::flock(nFolder, LOCK_EX | LOCK_NB), 0);
    }
    EXPECT_EQ(::flock(nFolder, LOCK_EX | LOCK_NB), 0);
    ::close(nFolder);
    const mode_t oldMask = ::umask(027);  // a new file follows it
    EXPECT_TRUE(SavePort("dangling", 1));
    ::umask(oldMask);
    ASSERT_EQ(::geteuid() == 0 ? ::seteuid(65534) : 0, 0);
    const bool bInPlace = SavePort("ro/Config.xml", 5);
    // Longer content meets a file size limit: the file stays whole.
    CXmlProfile longer("ro/Config.xml");
    longer.WriteString("Main", "Keep", std::string(200, 'x'));
    const bool bCut = SaveUnderSizeLimit(longer, 100);
    ASSERT_EQ(::seteuid(::getuid()), 0);
    EXPECT_TRUE(bInPlace);
    EXPECT_FALSE(bCut);
    EXPECT_EQ(ReadFile("ro/Config.xml"), Main("<COM-Port>5</COM-Port><Keep>me</Keep>"));
    ::chmod("ro", 0755);
    EXPECT_EQ(ReadFile("real/settings.xml"), Main("<COM-Port>6</COM-Port><Keep>me</Keep>"));
    EXPECT_EQ(ReadFile("real/new.xml"), Main("<COM-Port>1</COM-Port>"));
    EXPECT_EQ(ListDir("real"), (std::set<std::string>{"link", "new.xml", "settings.xml"}));
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status("real/settings.xml").permissions(), perms(0604));
    EXPECT_EQ(std::filesystem::status("real/new.xml").permissions(), perms(0640));
}

TEST(XmlTextTest, ParseDecimalReadsLikeAtoiButSaturates) {
    // clang-format off
    for (const auto& [szText, nValue] : {std::pair{" \t\n\v\f\r-17xyz", -17}, {"+3", 3}, {"- 3", 0},
             {"", 0}, {"0x1F", 0}, {"007", 7}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
             {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}})
        EXPECT_EQ(xmltext::ParseDecimal(szText), nValue) << szText;
    // clang-format on
}

}  // namespace
