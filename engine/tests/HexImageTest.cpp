#include <tuple>

#include "TestSupport.h"

namespace {

// A data record at 0 holding the data digits strHex; detection never looks at the checksum.
std::string Data(std::string_view strHex) {
    return MakeHexRecord(0, 0, std::vector<uint8_t>(strHex.size() / 2)).substr(0, 9) +
           std::string(strHex) + "00";
}

const std::string kFiller = Data("00112233445566778899AABBCCDDEEFF");
const std::string kEof = MakeHexEofRecord();

}  // namespace

// The marker is searched in the data text of each pair of adjacent lines.
TEST(TargetDetection, WhereAMarkerCounts) {
    // Each type's marker is found, also with bit 7 set on every character.
    for (int nType = 1; nType <= 5; ++nType) {
        std::string strHigh = SignatureOf(nType);
        for (char& ch : strHigh)
            ch = static_cast<char>(ch | 0x80);
        EXPECT_EQ(ImageOf({kFiller, Data(strHigh), kEof}).GetTargetType(), nType);
    }
    const std::string s = SignatureOf(2);
    const std::vector<std::pair<std::vector<std::string>, int>> aCases = {
        // The first 5 bytes end one record, the rest begin the next.
        {{Data("AA" + s.substr(0, 10)), Data(s.substr(10)), kEof}, 2},
        // Digits straddle bytes: the text begins at an odd character of the data field.
        {{Data("0" + s + "0"), kEof}, 2},
        // Three lines, also when the middle one has an empty data text: not found.
        {{Data(s.substr(0, 8)), Data(s.substr(8, 10)), Data(s.substr(18)), kEof}, 0},
        {{Data(s.substr(0, 10)), "", Data(s.substr(10)), kEof}, 0},
        // The last pair wins, and the lowest type within a pair, in one line or two.
        {{kFiller, Data(s), Data(SignatureOf(4)), kFiller, kEof}, 4},
        {{kFiller, Data(SignatureOf(4)), Data(s), kFiller, kEof}, 2},
        {{kFiller, Data(SignatureOf(5) + SignatureOf(1)), kEof}, 1},
        {{Data(SignatureOf(1)), kFiller, kFiller, Data(SignatureOf(3)), kFiller, kEof}, 3},
        {{kFiller, Data("514e545052583137305f292a23"), kEof}, 0},  // type 3 in lower case
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
        // Fewer than two lines: no pair to search; the last line pairs with the one before it.
        {{Data(s)}, 0},
        {{kFiller, Data(s)}, 2}};
    for (const auto& [aLines, nType] : aCases)
        EXPECT_EQ(ImageOf(aLines).GetTargetType(), nType) << testing::PrintToString(aLines);
}

TEST(RecordHeader, ShortOrMissingFieldsReadAsZero) {
    using Case = std::tuple<std::string_view, int, int, int>;
    for (const auto& [str, nLength, nAddress, nPage] :
         {Case{":04001000514E5448B1", 4, 0x0010, 0}, Case{":ff1a3000", 0xFF, 0x1A30, 0x1A},
          Case{":4:12", 4, 0, 0}, Case{":0412G", 4, 0x12, 0}, Case{"", 0, 0, 0}, Case{":", 0, 0, 0},
          Case{" :04123400", 0, 0, 0}, Case{":G4123400", 0, 0, 0}}) {
        const RecordHeader header = CHexImage::ParseRecordHeader(str);
        EXPECT_EQ(std::tuple(int{header.nLength}, int{header.nAddress}, int{header.nPage}),
                  std::tuple(nLength, nAddress, nPage))
            << str;
    }
}
