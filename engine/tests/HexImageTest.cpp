#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "TestSupport.h"

namespace {

// A data record holding the data digits strHex; detection never looks at the checksum.
std::string Data(std::string_view strHex) {
    char aHead[16];
    std::snprintf(aHead, sizeof(aHead), ":%02X000000", static_cast<unsigned>(strHex.size() / 2));
    return aHead + std::string(strHex) + "00";
}

const std::string kFiller = Data("00112233445566778899AABBCCDDEEFF");
const std::string kEof = MakeHexEofRecord();

int TypeOfFile(const std::vector<std::string>& aLines) {
    CHexImage image;
    LoadLines(image, aLines);
    return image.GetTargetType();
}

}  // namespace

// The marker is searched in the data text of each pair of adjacent lines.
TEST(TargetDetection, WhereAMarkerCounts) {
    for (int nType = 1; nType <= 5; ++nType) {
        const std::string s = SignatureOf(nType);
        const std::vector<std::pair<std::vector<std::string>, int>> aCases = {
            {{kFiller, Data(s + "0000"), kEof}, nType},
            // The first 5 bytes end one record, the rest begin the next.
            {{Data("AA" + s.substr(0, 10)), Data(s.substr(10)), kEof}, nType},
            // Digits straddle bytes: the text begins at an odd character of the data field.
            {{Data("0" + s + "0"), kEof}, nType},
            // Three lines, also when the middle one has an empty data text: not found.
            {{Data(s.substr(0, 8)), Data(s.substr(8, 10)), Data(s.substr(18)), kEof}, 0},
            {{Data(s.substr(0, 10)), "", Data(s.substr(10)), kEof}, 0},
            {{Data(s.substr(0, 10)), ":", Data(s.substr(10)), kEof}, 0}};
        for (const auto& [aLines, nExpected] : aCases)
            EXPECT_EQ(TypeOfFile(aLines), nExpected) << testing::PrintToString(aLines);
    }
    std::string strHigh = SignatureOf(3);
    for (char& ch : strHigh)
        ch = static_cast<char>(ch | 0x80);
    const std::string s = SignatureOf(2);
    std::vector<std::string> aPairs(20, kFiller);
    auto at = [&](std::initializer_list<std::pair<size_t, std::string>> aSet) {
        std::vector<std::string> a = aPairs;
        for (const auto& [i, str] : aSet)
            a[i] = str;
        return a;
    };
    const std::vector<std::pair<std::vector<std::string>, int>> aCases = {
        // The last pair wins, and the lowest type within a pair, in one line or two.
        {at({{10, Data(s)}, {11, Data(SignatureOf(4))}}), 4},
        {at({{10, Data(SignatureOf(4))}, {11, Data(s)}}), 2},
        {at({{11, Data(SignatureOf(5) + SignatureOf(1))}}), 1},
        {at({{3, Data(SignatureOf(1))}, {11, Data(SignatureOf(3))}}), 3},
        {{kFiller, Data("514e545052583137305f292a23"), kEof}, 0},  // type 3 in lower case
        {{kFiller, Data(strHigh), kEof}, 3},                       // bit 7 is cleared
        // The record type is not looked at: an address record's data counts too.
        {{Data(s.substr(0, 22)), ":02000004" + s.substr(22) + "00"}, 2},
        // The length field says 2 bytes; the digits after them are not data.
        {{":02000000" + s, kFiller}, 0},
        // A length beyond the line's end takes the rest of the line, no more.
        {{":FF000000" + s.substr(0, 7), Data("0" + s.substr(7))}, 0},
        {{":FF000000" + s.substr(0, 8), Data(s.substr(8))}, 2},
        // No record mark or no length digit: no data text at all.
        {{"X02000000" + s, kFiller}, 0},
        {{":G2000000" + s, kFiller}, 0},
        // Fewer than two lines: no pair to search.
        {{Data(s)}, 0},
        {{}, 0}};
    for (const auto& [aLines, nType] : aCases)
        EXPECT_EQ(TypeOfFile(aLines), nType) << testing::PrintToString(aLines);
}

// Line ends go, nothing else; a CR not before an LF stays, and Ctrl-Z ends the file.
TEST(ImageLines, KeptExactlyAsReadWithoutLineEnds) {
    const std::vector<std::string> aLines = {Data(SignatureOf(3)), "", "  text\r line ", kEof};
    for (const char* szEnd : {"\n", "\r\n"}) {
        CHexImage image;
        ASSERT_TRUE(image.Load(WriteTempFile(JoinLines(aLines, szEnd) + "last\x1A" + kFiller)));
        const std::vector<std::string> aRead = LinesOf(image);
        EXPECT_EQ(aRead.size(), 5u);
        EXPECT_TRUE(std::equal(aLines.begin(), aLines.end(), aRead.begin()));
        EXPECT_EQ(aRead.back(), "last");
        EXPECT_EQ(image.GetTargetType(), 3);
    }
}

TEST(RecordHeader, ShortOrMissingFieldsReadAsZero) {
    using Case = std::tuple<std::string_view, int, int, int>;
    for (const auto& [str, nLength, nAddress, nPage] :
         {Case{":04001000514E5448B1", 4, 0x0010, 0}, Case{":ff1a3000", 0xFF, 0x1A30, 0x1A},
          Case{":4:12", 4, 0, 0}, Case{":0412G", 4, 0x12, 0}, Case{"", 0, 0, 0}, Case{":", 0, 0, 0},
          Case{" :04123400", 0, 0, 0}, Case{":G4123400", 0, 0, 0}}) {
        const RecordHeader header = CHexImage::ParseRecordHeader(str);
        EXPECT_EQ(std::make_tuple(int{header.nLength}, int{header.nAddress}, int{header.nPage}),
                  std::make_tuple(nLength, nAddress, nPage))
            << str;
    }
}
