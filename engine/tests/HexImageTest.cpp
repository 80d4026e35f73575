#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

// Bytes whose hexadecimal text is strHex (an even number of digits).
std::vector<uint8_t> BytesOfHex(std::string_view strHex) {
    std::vector<uint8_t> ab;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2)
        ab.push_back(
            static_cast<uint8_t>(HexDigitValue(strHex[i]) * 16 + HexDigitValue(strHex[i + 1])));
    return ab;
}

std::string Data(uint16_t nAddress, std::string_view strHex) {
    return MakeHexRecord(0, nAddress, BytesOfHex(strHex));
}

const std::string kFiller = Data(0x0100, "00112233445566778899AABBCCDDEEFF");

int TypeOfFile(const std::vector<std::string>& aLines) {
    CHexImage image;
    image.BuildSignatures();
    LoadLines(image, aLines);
    return image.GetTargetType();
}

}  // namespace

class MarkerPlacement : public ::testing::TestWithParam<int> {};

TEST_P(MarkerPlacement, FoundInOneRecordAcrossTwoAndAtAnOddPosition) {
    const int nType = GetParam();
    const std::string strSig = SignatureOf(nType);
    EXPECT_EQ(TypeOfFile({kFiller, Data(0, strSig + "0000"), MakeHexEofRecord()}), nType);
    // The first 5 bytes end one record, the rest begin the next.
    EXPECT_EQ(TypeOfFile({Data(0, "AA" + strSig.substr(0, 10)), Data(6, strSig.substr(10)),
                          MakeHexEofRecord()}),
              nType);
    // Digits straddle bytes: the text begins at an odd character of the data field.
    EXPECT_EQ(TypeOfFile({Data(0, "0" + strSig + "0"), MakeHexEofRecord()}), nType);
}

TEST_P(MarkerPlacement, SpreadOverThreeRecordsIsNotFound) {
    const std::string strSig = SignatureOf(GetParam());
    EXPECT_EQ(TypeOfFile({Data(0, strSig.substr(0, 8)), Data(4, strSig.substr(8, 10)),
                          Data(9, strSig.substr(18)), MakeHexEofRecord()}),
              0);
    // An empty data text between the halves still makes it three lines.
    EXPECT_EQ(TypeOfFile({Data(0, strSig.substr(0, 10)), "", Data(5, strSig.substr(10)),
                          MakeHexEofRecord()}),
              0);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, MarkerPlacement, ::testing::Range(1, 6));

TEST(TargetDetection, LastPairWinsAndLowestTypeWithinAPair) {
    std::vector<std::string> aLines(20, kFiller);
    aLines[10] = Data(0, SignatureOf(2));
    aLines[11] = Data(0, SignatureOf(4));
    EXPECT_EQ(TypeOfFile(aLines), 4);
    std::swap(aLines[10], aLines[11]);
    EXPECT_EQ(TypeOfFile(aLines), 2);
    // Both in one line, the higher type first: the pair still gives the lower type.
    aLines[10] = kFiller;
    aLines[11] = Data(0, SignatureOf(5) + SignatureOf(1));
    EXPECT_EQ(TypeOfFile(aLines), 1);
    // An earlier line's lower type does not beat a later pair.
    aLines[3] = Data(0, SignatureOf(1));
    aLines[11] = Data(0, SignatureOf(3));
    EXPECT_EQ(TypeOfFile(aLines), 3);
}

TEST(TargetDetection, CaseBitSevenAndRecordKinds) {
    std::string strLower = SignatureOf(3);
    for (char& ch : strLower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(TypeOfFile({kFiller, ":0D000000" + strLower + "00", MakeHexEofRecord()}), 0);
    // Bit 7 of every data character is cleared before the search.
    std::string strHigh = SignatureOf(3);
    for (char& ch : strHigh)
        ch = static_cast<char>(ch | 0x80);
    EXPECT_EQ(TypeOfFile({kFiller, ":0D000000" + strHigh + "00", MakeHexEofRecord()}), 3);
    // The record type is not looked at: an extended address record's data counts too.
    const std::string strSig = SignatureOf(4);
    EXPECT_EQ(
        TypeOfFile({Data(0, strSig.substr(0, 22)),
                    MakeHexRecord(0x04, 0, BytesOfHex(strSig.substr(22))), MakeHexEofRecord()}),
        4);
}

TEST(TargetDetection, DataTextIsBoundedByLengthAndLine) {
    const std::string strSig = SignatureOf(2);
    // The length field says 2 bytes; the digits after them are not data.
    EXPECT_EQ(TypeOfFile({":02000000" + strSig, kFiller}), 0);
    // A length beyond the line's end takes the rest of the line, no more.
    EXPECT_EQ(TypeOfFile({":FF000000" + strSig.substr(0, 7), Data(0, "0" + strSig.substr(7))}), 0);
    EXPECT_EQ(TypeOfFile({":FF000000" + strSig.substr(0, 8), Data(0, strSig.substr(8))}), 2);
    // No record mark or no length digit: no data text at all.
    EXPECT_EQ(TypeOfFile({"X02000000" + strSig, kFiller}), 0);
    EXPECT_EQ(TypeOfFile({":G2000000" + strSig, kFiller}), 0);
}

TEST(TargetDetection, FewerThanTwoLinesGiveTypeZero) {
    CHexImage image;
    image.BuildSignatures();
    ASSERT_TRUE(image.Load(WriteTempFile(Data(0, SignatureOf(3)) + "\n")));
    EXPECT_EQ(image.GetLineCount(), 1);
    EXPECT_EQ(image.GetTargetType(), 0);
    ASSERT_TRUE(image.Load(WriteTempFile("")));
    EXPECT_EQ(image.GetLineCount(), 0);
    EXPECT_EQ(image.GetTargetType(), 0);
}

TEST(ImageLines, KeptExactlyAsReadWithoutLineEnds) {
    const std::vector<std::string> aLines = {Data(0, SignatureOf(3)), "", "  text line ",
                                             MakeHexEofRecord()};
    CHexImage lf;
    CHexImage crlf;
    ASSERT_TRUE(lf.Load(WriteTempFile(JoinLines(aLines, "\n"))));
    ASSERT_TRUE(crlf.Load(WriteTempFile(JoinLines(aLines, "\r\n"))));
    ASSERT_EQ(lf.GetLineCount(), 4);
    ASSERT_EQ(crlf.GetLineCount(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lf.GetLine(i), aLines[static_cast<size_t>(i)]);
        EXPECT_EQ(crlf.GetLine(i), aLines[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(lf.GetTargetType(), 3);
    EXPECT_EQ(crlf.GetTargetType(), 3);

    // A last line without end is a line; a carriage return not before a line feed stays.
    CHexImage image;
    ASSERT_TRUE(image.Load(WriteTempFile("a\rb\r\nlast")));
    ASSERT_EQ(image.GetLineCount(), 2);
    EXPECT_EQ(image.GetLine(0), "a\rb");
    EXPECT_EQ(image.GetLine(1), "last");
}

TEST(ImageLines, CtrlZEndsTheFile) {
    CHexImage image;
    image.BuildSignatures();
    const std::string strSig = SignatureOf(1);
    ASSERT_TRUE(image.Load(WriteTempFile(kFiller + "\n" + kFiller + "\x1A\n" + Data(0, strSig) +
                                         "\n" + kFiller + "\n")));
    ASSERT_EQ(image.GetLineCount(), 2);
    EXPECT_EQ(image.GetLine(1), kFiller);
    EXPECT_EQ(image.GetTargetType(), 0);
}

TEST(RecordHeader, ShortOrMissingFieldsReadAsZero) {
    struct Case {
        std::string_view str;
        int nLength, nAddress, nPage;
    };
    for (const Case& c :
         {Case{":04001000514E5448B1", 4, 0x0010, 0}, Case{":ff1a3000", 0xFF, 0x1A30, 0x1A},
          Case{":4:12", 4, 0, 0}, Case{":0412G", 4, 0x12, 0}, Case{"", 0, 0, 0}, Case{":", 0, 0, 0},
          Case{" :04123400", 0, 0, 0}, Case{":G4123400", 0, 0, 0}}) {
        const RecordHeader header = CHexImage::ParseRecordHeader(c.str);
        EXPECT_EQ(header.nLength, c.nLength) << c.str;
        EXPECT_EQ(header.nAddress, c.nAddress) << c.str;
        EXPECT_EQ(header.nPage, c.nPage) << c.str;
    }
}
