#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "HexImage.h"

// Pre-flight check of a loaded image: finds what would make a target refuse the file halfway
// (damaged records, a missing end, conflicting data) before the first byte goes out, and sums
// up what the file holds.

struct HexCheckError {
    int nLine;            // 1-based
    std::string strText;  // "Line 17: checksum error"
};

// Addresses [nFirst, nEnd) that data records fill without a gap.
struct HexRange {
    uint64_t nFirst;
    uint64_t nEnd;
};

struct HexCheckResult {
    // In line order; only the first kMaxKeptErrors are kept, nErrorCount counts all.
    static constexpr size_t kMaxKeptErrors = 100;
    std::vector<HexCheckError> aErrors;
    size_t nErrorCount = 0;

    TargetType nTargetType = 0;
    int nBaud = 0;
    uint64_t nDataBytes = 0;  // distinct addresses written
    std::vector<HexRange> aRanges;
    int nLineCount = 0;
    int nRecordCount = 0;  // lines beginning with ":"
    int nOtherLines = 0;   // blank lines, notes: never sent, not errors

    bool IsValid() const { return nErrorCount == 0; }
};

// One pass over the lines, then one over the data records sorted by address.
HexCheckResult CheckHexImage(const CHexImage& image);
