#include "HexCheck.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Value of each character as a hex digit; -1 for every other character.
constexpr std::array<int, 256> kHexValue = [] {
    std::array<int, 256> a{};
    a.fill(-1);
    for (int i = 0; i < 10; ++i)
        a['0' + i] = i;
    for (int i = 0; i < 6; ++i) {
        a['A' + i] = 10 + i;
        a['a' + i] = 10 + i;
    }
    return a;
}();

enum : uint8_t {
    kData = 0,
    kEof = 1,
    kSegment = 2,
    kStartSegment = 3,
    kLinear = 4,
    kStartLinear = 5
};

uint8_t ByteAt(const std::string& str, size_t nPos) {
    return static_cast<uint8_t>(kHexValue[static_cast<uint8_t>(str[nPos])] << 4 |
                                kHexValue[static_cast<uint8_t>(str[nPos + 1])]);
}

// Part of a data record's bytes at consecutive addresses; a record whose offsets wrap past
// the end of its 64 KiB segment gives two.
struct Span {
    uint64_t nStart;
    uint32_t nLine;  // 0-based
    uint16_t nSkip;  // bytes of the record's data before this part
    uint16_t nSize;
    uint64_t End() const { return nStart + nSize; }
    uint8_t At(const CHexImage& image, uint64_t nAddress) const {
        return ByteAt(image.LineAt(static_cast<int>(nLine)),
                      9 + 2 * (nSkip + static_cast<size_t>(nAddress - nStart)));
    }
};

struct Conflict {
    int nLine;
    int nOtherLine;
    uint64_t nAddress;
};

template <class... Args>
std::string Text(const char* szFormat, Args... args) {
    char aText[96];
    std::snprintf(aText, sizeof(aText), szFormat, args...);
    return aText;
}

// The first fault of a record line, empty when it has none; fills the fields it decoded.
std::string CheckRecord(const std::string& strLine, uint8_t& nType, uint16_t& nOffset,
                        uint32_t& nValue) {
    const size_t nDigits = strLine.size() - 1;
    int nBad = 0;
    unsigned nSum = 0;
    for (size_t nPos = 1; nPos + 1 < strLine.size(); nPos += 2) {
        const int nHigh = kHexValue[static_cast<uint8_t>(strLine[nPos])];
        const int nLow = kHexValue[static_cast<uint8_t>(strLine[nPos + 1])];
        nBad |= nHigh | nLow;  // negative once any is no digit
        nSum += static_cast<unsigned>(nHigh) << 4 | static_cast<unsigned>(nLow);
    }
    if (nDigits % 2 != 0) nBad |= kHexValue[static_cast<uint8_t>(strLine.back())];
    if (nBad < 0) return "not hexadecimal";
    if (nDigits % 2 != 0) return "odd number of digits";
    if (nDigits < 10) return "too short for a record";
    const uint8_t nLength = ByteAt(strLine, 1);
    if (nDigits != 10 + 2 * static_cast<size_t>(nLength)) return "length field does not match";
    if ((nSum & 0xFF) != 0) return "checksum error";
    nOffset = static_cast<uint16_t>(ByteAt(strLine, 3) << 8 | ByteAt(strLine, 5));
    nType = ByteAt(strLine, 7);
    static constexpr int kLengthOf[] = {-1, 0, 2, 4, 2, 4};  // -1: any
    if (nType > kStartLinear) return Text("unknown record type %02X", nType);
    if (kLengthOf[nType] >= 0 && nLength != kLengthOf[nType]) return "wrong length for its type";
    nValue =
        nLength >= 2 ? static_cast<uint32_t>(ByteAt(strLine, 9) << 8 | ByteAt(strLine, 11)) : 0;
    return {};
}

}  // namespace

HexCheckResult CheckHexImage(const CHexImage& image) {
    HexCheckResult result;
    result.nTargetType = image.GetTargetType();
    result.nBaud = GetTargetInfo(result.nTargetType).nBaud;
    result.nLineCount = image.GetLineCount();

    std::vector<HexCheckError> aErrors;
    auto AddError = [&](int nLine, const std::string& strWhat) {
        ++result.nErrorCount;
        if (aErrors.size() < HexCheckResult::kMaxKeptErrors)
            aErrors.push_back({nLine, Text("Line %d: %s", nLine, strWhat.c_str())});
    };

    std::vector<Span> aSpans;
    aSpans.reserve(static_cast<size_t>(result.nLineCount));
    bool bSorted = true;
    uint64_t nBase = 0;
    int nEofLine = -1;
    int nLastRecord = -1;
    bool bRecordAfterEof = false;
    for (int i = 0; i < result.nLineCount; ++i) {
        const std::string& strLine = image.LineAt(i);
        if (strLine.empty() || strLine[0] != ':') {
            ++result.nOtherLines;
            continue;
        }
        ++result.nRecordCount;
        nLastRecord = i;
        uint8_t nType = 0;
        uint16_t nOffset = 0;
        uint32_t nValue = 0;
        if (const std::string strFault = CheckRecord(strLine, nType, nOffset, nValue);
            !strFault.empty()) {
            AddError(i + 1, strFault);
            continue;
        }
        if (nEofLine >= 0 && !bRecordAfterEof) {
            bRecordAfterEof = true;
            AddError(i + 1, "record after the end-of-file record");
        }
        if (nType == kEof && nEofLine < 0) nEofLine = i;
        if (nType == kSegment) nBase = uint64_t{nValue} << 4;
        if (nType == kLinear) nBase = uint64_t{nValue} << 16;
        const size_t nLength = (strLine.size() - 11) / 2;
        if (nType != kData || nLength == 0) continue;
        // Offsets wrap within their segment, as the target counts them.
        const size_t nFirstPart = std::min(nLength, size_t{0x10000} - nOffset);
        const auto nLine = static_cast<uint32_t>(i);
        for (const Span& span : {Span{nBase + nOffset, nLine, 0, static_cast<uint16_t>(nFirstPart)},
                                 Span{nBase, nLine, static_cast<uint16_t>(nFirstPart),
                                      static_cast<uint16_t>(nLength - nFirstPart)}}) {
            if (span.nSize == 0) continue;
            if (!aSpans.empty() && span.nStart < aSpans.back().nStart) bSorted = false;
            aSpans.push_back(span);
        }
    }

    // Sorted by address, each span overlapping earlier data is compared with the span that
    // reaches furthest so far: it covers every address where any earlier one overlaps, so each
    // byte written more than once is compared along a chain back to its first writer.
    if (!bSorted)
        std::stable_sort(aSpans.begin(), aSpans.end(),
                         [](const Span& a, const Span& b) { return a.nStart < b.nStart; });
    std::vector<Conflict> aConflicts;
    const Span* pReach = nullptr;
    for (const Span& span : aSpans) {
        if (pReach && span.nStart < pReach->End()) {
            const uint64_t nEnd = std::min(span.End(), pReach->End());
            for (uint64_t nAddress = span.nStart; nAddress < nEnd; ++nAddress) {
                if (span.At(image, nAddress) != pReach->At(image, nAddress)) {
                    aConflicts.push_back({static_cast<int>(span.nLine) + 1,
                                          static_cast<int>(pReach->nLine) + 1, nAddress});
                    break;
                }
            }
        }
        if (!result.aRanges.empty() && span.nStart <= result.aRanges.back().nEnd)
            result.aRanges.back().nEnd = std::max(result.aRanges.back().nEnd, span.End());
        else
            result.aRanges.push_back({span.nStart, span.End()});
        if (!pReach || span.End() > pReach->End()) pReach = &span;
    }
    for (const HexRange& range : result.aRanges)
        result.nDataBytes += range.nEnd - range.nFirst;

    std::sort(aConflicts.begin(), aConflicts.end(),
              [](const Conflict& a, const Conflict& b) { return a.nLine < b.nLine; });
    aConflicts.erase(
        std::unique(aConflicts.begin(), aConflicts.end(),
                    [](const Conflict& a, const Conflict& b) { return a.nLine == b.nLine; }),
        aConflicts.end());
    // The line errors are in line order and kept up to the limit; the conflicts join them.
    const std::vector<HexCheckError> aLineErrors = std::move(aErrors);
    aErrors.clear();
    const size_t nLineErrorCount = result.nErrorCount;
    result.nErrorCount = 0;
    auto itLine = aLineErrors.begin();
    for (const Conflict& conflict : aConflicts) {
        for (; itLine != aLineErrors.end() && itLine->nLine < conflict.nLine; ++itLine)
            aErrors.push_back(*itLine);
        AddError(conflict.nLine,
                 Text("data at 0x%llX differ from line %d",
                      static_cast<unsigned long long>(conflict.nAddress), conflict.nOtherLine));
    }
    aErrors.insert(aErrors.end(), itLine, aLineErrors.end());
    result.nErrorCount += nLineErrorCount;
    if (nEofLine < 0) AddError(nLastRecord + 2, "end-of-file record missing");

    if (aErrors.size() > HexCheckResult::kMaxKeptErrors)
        aErrors.resize(HexCheckResult::kMaxKeptErrors);
    result.aErrors = std::move(aErrors);
    return result;
}
