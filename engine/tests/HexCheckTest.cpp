#include <tuple>

#include "HexCheck.h"
#include "TestSupport.h"

namespace {

// Firmware lines with line nIndex (0-based) replaced.
std::vector<std::string> With(size_t nIndex, std::string strLine) {
    std::vector<std::string> aLines = MakeFirmware(3, 6);
    aLines[nIndex] = std::move(strLine);
    return aLines;
}

// Data byte nIndex of a record.
uint8_t ByteOf(const std::string& strRecord, size_t nIndex) {
    return static_cast<uint8_t>(std::stoi(strRecord.substr(9 + 2 * nIndex, 2), nullptr, 16));
}

}  // namespace

TEST(HexCheck, ReportsTheFirstFaultWithItsLineNumber) {
    const std::string strData = MakeFirmware(3, 6)[2];  // 16 bytes at 0x0010
    std::string strBadSum = strData;
    strBadSum.back() = strBadSum.back() == '0' ? '1' : '0';
    // Errors, the first one's text (empty: valid), lines.
    using Case = std::tuple<size_t, std::string, std::vector<std::string>>;
    const Case aCases[] = {
        {0, "", With(3, "; built 2026-12-07")},  // notes are no records
        {1, "Line 4: checksum error", With(3, strBadSum)},
        {1, "Line 4: not hexadecimal", With(3, strData.substr(0, 20) + "G" + strData.substr(21))},
        {1, "Line 4: not hexadecimal", With(3, strData + " ")},
        {1, "Line 4: odd number of digits", With(3, strData.substr(0, strData.size() - 1))},
        {1, "Line 4: length field does not match", With(3, strData + "00")},
        {1, "Line 4: too short for a record", With(3, ":00000001")},
        {1, "Line 4: unknown record type 07", With(3, MakeHexRecord(0x07, 0, {}))},
        {1, "Line 4: wrong length for its type", With(3, MakeHexRecord(0x04, 0, {1}))},
        {2, "Line 8: wrong length for its type", With(7, MakeHexRecord(1, 0, {0}))},  // no end left
        {1, "Line 8: end-of-file record missing", With(7, "")},
        {1, "Line 1: end-of-file record missing", {}},
        {1, "Line 5: record after the end-of-file record", With(3, MakeHexEofRecord())},
        // Same address twice with other bytes (equal ones are fine: see the summary).
        {1, "Line 5: data at 0x8 differ from line 2", With(4, MakeHexDataRecord(8, "ABCDEFGH"))},
        // Offsets wrap within their segment: 0xFFF8 + 16 bytes reaches 0x0000..0x0007.
        {1, "Line 6: data at 0x0 differ from line 2",
         With(5, MakeHexDataRecord(0xFFF8, "0123456789ABCDEF"))},
        // An address record moves later data: 0x0001_0010 and 0x1000 << 4 + 0x10 meet.
        {1,
         "Line 5: data at 0x10011 differ from line 4",
         {MakeHexRecord(0x04, 0, {0, 1}), MakeHexDataRecord(0x0010, "AB"),
          MakeHexRecord(0x02, 0, {0x10, 0}), MakeHexDataRecord(0x0011, "BX"),
          MakeHexDataRecord(0x0011, "C"), MakeHexEofRecord()}},
        // Compared with the record reaching furthest, not the one before.
        {2,
         "Line 3: data at 0x5 differ from line 1",
         {MakeHexDataRecord(0, "ABCDEFGH"), MakeHexDataRecord(2, "C"), MakeHexDataRecord(5, "x"),
          strBadSum, MakeHexEofRecord()}},
    };
    for (const auto& [nErrors, strFirst, aLines] : aCases) {
        const HexCheckResult result = CheckHexImage(ImageOf(aLines));
        SCOPED_TRACE(testing::PrintToString(aLines));
        EXPECT_EQ(result.nErrorCount, nErrors);
        EXPECT_EQ(result.aErrors.empty() ? "" : result.aErrors[0].strText, strFirst);
    }
}

TEST(HexCheck, SummaryMatchesTheFlashContents) {
    // 640 bytes from 0, one of them again, a blank line, 3 bytes at 0x2_0100.
    std::vector<std::string> aLines = MakeFirmware(2, 40);
    aLines.insert(aLines.begin() + 10, "");
    aLines.insert(aLines.end() - 1,
                  {MakeHexRecord(0, 0x0018, {ByteOf(aLines[2], 8)}), MakeHexRecord(0x04, 0, {0, 2}),
                   MakeHexDataRecord(0x0100, "xyz")});
    const HexCheckResult result = CheckHexImage(ImageOf(aLines));
    ASSERT_TRUE(result.IsValid()) << result.aErrors[0].strText;
    EXPECT_EQ(std::tie(result.nTargetType, result.nBaud, result.nLineCount, result.nRecordCount,
                       result.nOtherLines, result.nDataBytes),
              std::tuple(2, GetTargetInfo(2).nBaud, 46, 45, 1, uint64_t{643}));
    std::vector<std::pair<uint64_t, uint64_t>> aRanges;
    for (const HexRange& range : result.aRanges)
        aRanges.emplace_back(range.nFirst, range.nEnd);
    EXPECT_EQ(aRanges, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 640}, {0x20100, 0x20103}}));
}

TEST(HexCheck, KeepsTheFirstErrorsInLineOrderAndCountsAll) {
    // Checksum faults on odd lines; on even lines a conflict with a record appended after the
    // end that starts 8 bytes lower. Conflicts are found in address order, so the kept errors
    // only come out in line order when both kinds are merged.
    std::vector<std::string> aLines = MakeFirmware(3, 300);
    for (size_t i = 3; i < 300; i += 2)
        aLines[i].back() = aLines[i].back() == '0' ? '1' : '0';
    for (size_t i = 4; i <= 300; i += 2)
        aLines.push_back(MakeHexRecord(0, static_cast<uint16_t>(16 * (i - 1) - 8),
                                       std::vector<uint8_t>(16, ByteOf(aLines[i], 0) ^ 0xFF)));
    const HexCheckResult result = CheckHexImage(ImageOf(aLines));
    EXPECT_EQ(result.nErrorCount, 149u + 149u + 1u);  // sums, conflicts, records after the end
    ASSERT_EQ(result.aErrors.size(), HexCheckResult::kMaxKeptErrors);
    for (size_t i = 0; i < result.aErrors.size(); ++i)
        EXPECT_EQ(result.aErrors[i].nLine, static_cast<int>(i) + 4);
}
