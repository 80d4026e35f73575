#include <gtest/gtest.h>

#include "BootloaderModel.h"
#include "HexRecord.h"

namespace {

const std::string kEntry = "^;]";
const std::string kReset = "(reset)";  // a step that resets the target instead of feeding it

// Each step feeds bytes (or resets) and expects the target's reply; the flash then holds
// exactly the image given.
TEST(BootloaderModel, RepliesAndFlashFollowTheProtocol) {
    const std::string strA = MakeHexDataRecord(0x1000, "ABCD");
    const std::string strB = "\r\n" + MakeHexDataRecord(0x1004, "EF");
    std::string strBad = MakeHexDataRecord(0x0010, "XY");
    strBad.back() ^= 1;
    struct Case {
        const char* szName;
        int nFileErrorAt;
        std::vector<std::pair<std::string, std::string>> aSteps;
        std::map<uint32_t, uint8_t> image;
    };
    // clang-format off
    const Case aCases[] = {
        {"entry answered only after the reset, also repeated", -1,
         {{kEntry, ""}, {kReset, "!"}, {"x^;^;]^;]", "??"}}, {}},
        {"records sized by their length, split anywhere, nothing after the end", -1,
         {{kReset, "!"}, {kEntry, "?"}, {strA.substr(0, 5), ""},
          {strA.substr(5) + strB.substr(0, 3), "~"}, {strB.substr(3), "~"},
          {MakeHexEofRecord(), "@"}, {strA, ""}},
         {{0x1000, 'A'}, {0x1001, 'B'}, {0x1002, 'C'}, {0x1003, 'D'}, {0x1004, 'E'},
          {0x1005, 'F'}}},
        {"refused records are discarded, later ones overwrite", -1,
         {{kReset, "!"}, {kEntry, "?"}, {strBad, "-"}, {":G0", "-"},
          {MakeHexDataRecord(0x10, "AB"), "~"}, {MakeHexDataRecord(0x11, "Z"), "~"}},
         {{0x10, 'A'}, {0x11, 'Z'}}},
        {"extended addresses, offsets wrap in their segment, flash kept over reset", -1,
         {{kReset, "!"}, {kEntry, "?"}, {MakeHexLinearRecord(2), "~"},
          {MakeHexDataRecord(0xFFFF, "ab"), "~"}, {MakeHexRecord(0x02, 0, {0x12, 0x34}), "~"},
          {MakeHexDataRecord(1, "c"), "~"}, {kReset, "!"}},
         {{0x2FFFF, 'a'}, {0x20000, 'b'}, {0x12341, 'c'}}},
        {"a file error stops the target until reset", 1,
         {{kReset, "!"}, {kEntry, "?"}, {MakeHexDataRecord(0, "a"), "~"},
          {MakeHexDataRecord(1, "b"), "#"}, {MakeHexDataRecord(2, "c"), ""}, {kReset, "!"},
          {kEntry + MakeHexDataRecord(1, "b"), "?~"}},
         {{0, 'a'}, {1, 'b'}}},
    };
    // clang-format on
    for (const Case& c : aCases) {
        CBootloaderModel target(3, {.nFileErrorAtRecord = c.nFileErrorAt});
        for (const auto& [strIn, strReply] : c.aSteps)
            EXPECT_EQ(strIn == kReset ? target.Greet() : target.Feed(strIn), strReply) << c.szName;
        EXPECT_EQ(target.GetImage(), c.image) << c.szName;
    }
}

TEST(BootloaderModel, InjectedFaultsAreRepeatableAndNeverLookLikeReplies) {
    auto run = [] {
        CBootloaderModel target(3, {.nSeed = 42,
                                    .dChecksumError = 0.1,
                                    .dPageError = 0.1,
                                    .dLostReply = 0.1,
                                    .dNoise = 0.3});
        std::string strReplies = target.Greet();
        strReplies += target.Feed(kEntry);
        for (int i = 0; i < 400; ++i)
            strReplies += target.Feed(MakeHexDataRecord(static_cast<uint16_t>(i), "d"));
        target.SetFaults({});  // applies from the next record on
        strReplies += target.Feed(MakeHexDataRecord(0, "d"));
        return std::make_pair(strReplies, target.GetCounters());
    };
    const auto [strFirst, counters] = run();
    EXPECT_EQ(run().first, strFirst);
    EXPECT_TRUE(strFirst.starts_with("!?") && strFirst.ends_with('~')) << strFirst;
    for (const int n : {counters.nChecksumErrors, counters.nPageErrors, counters.nLostReplies,
                        counters.nNoiseBytes})
        EXPECT_GT(n, 10);
    size_t nReplies = 0;
    for (char ch : strFirst.substr(2, strFirst.size() - 3)) {
        nReplies += ch == '~' || ch == '-' || ch == '%';
        EXPECT_EQ(std::string("?#@!()/\xB0").find(ch), std::string::npos) << ch;
    }
    EXPECT_EQ(nReplies, 400u - static_cast<size_t>(counters.nLostReplies));
    EXPECT_EQ(counters.nAccepted + counters.nChecksumErrors + counters.nPageErrors, 401);
}

}  // namespace
