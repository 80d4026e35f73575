// Loads arbitrary bytes as a HEX file and checks what the image promises: the lines are the
// file up to Ctrl-Z split at its line ends and nothing else changed, the target type is the
// one a plain pairwise search of the data texts finds, and every line has a sane header. The
// pre-flight check passes a file only when an independent decoder reads every record of it and
// places exactly the data bytes the check sums up.
#include "HexCheck.h"
#include "HexImage.h"
#include "HexRecord.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool bCondition, const char* szWhat) {
    if (!bCondition) {
        std::fprintf(stderr, "hex_fuzz: %s\n", szWhat);
        std::abort();
    }
}

// One file, rewritten for every input and removed at exit.
class CInputFile {
public:
    CInputFile() {
        char szShm[] = "/dev/shm/korvi-hex-fuzz-XXXXXX";
        char szTmp[] = "/tmp/korvi-hex-fuzz-XXXXXX";
        m_nFd = ::mkstemp(szShm);
        m_strPath = szShm;
        if (m_nFd < 0) {
            m_nFd = ::mkstemp(szTmp);
            m_strPath = szTmp;
        }
        Check(m_nFd >= 0, "no temporary file");
    }
    ~CInputFile() {
        ::close(m_nFd);
        ::unlink(m_strPath.c_str());
    }
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    const std::string& Write(const uint8_t* pData, size_t nSize) {
        Check(::ftruncate(m_nFd, 0) == 0, "truncate failed");
        size_t nDone = 0;
        while (nDone < nSize) {
            const ssize_t n =
                ::pwrite(m_nFd, pData + nDone, nSize - nDone, static_cast<off_t>(nDone));
            Check(n > 0, "write failed");
            nDone += static_cast<size_t>(n);
        }
        return m_strPath;
    }

private:
    int m_nFd = -1;
    std::string m_strPath;
};

bool IsHexDigit(char ch) {
    return HexDigitValue(ch) >= 0;
}

// Length field: at most two hex digits after the ":".
size_t RecordLength(std::string_view strLine) {
    size_t nValue = 0;
    for (size_t i = 1; i < strLine.size() && i < 3 && IsHexDigit(strLine[i]); ++i)
        nValue = nValue * 16 + static_cast<size_t>(HexDigitValue(strLine[i]));
    return nValue;
}

// The data text as the loader defines it: only for a line that starts with ":" and a hex
// digit, the 2 * length characters from position 9, cut at the line's end, bit 7 cleared.
std::string DataText(std::string_view strLine) {
    if (strLine.size() <= 9 || strLine[0] != ':' || !IsHexDigit(strLine[1])) return {};
    std::string strData(strLine.substr(9, 2 * RecordLength(strLine)));
    for (char& ch : strData)
        ch = static_cast<char>(ch & 0x7F);
    return strData;
}

// The search as written down: every pair in order, types 1..5 within a pair, last hit wins.
TargetType ReferenceType(const std::vector<std::string>& aData) {
    std::string aSignatures[kTargetTypeCount];
    for (int nType = 1; nType < kTargetTypeCount; ++nType) {
        for (const char* p = GetTargetInfo(nType).szMarker; *p != '\0'; ++p) {
            char aDigits[4];
            std::snprintf(aDigits, sizeof aDigits, "%X", static_cast<unsigned char>(*p));
            aSignatures[nType] += aDigits;
        }
    }
    TargetType nResult = 0;
    for (size_t i = 0; i + 1 < aData.size(); ++i) {
        const std::string strJoined = aData[i] + aData[i + 1];
        for (int nType = 1; nType < kTargetTypeCount; ++nType) {
            if (strJoined.find(aSignatures[nType]) != std::string::npos) {
                nResult = nType;
                break;
            }
        }
    }
    return nResult;
}

void CheckHeader(const std::string& strLine) {
    const RecordHeader header = CHexImage::ParseRecordHeader(strLine);
    Check(header.nPage == (header.nAddress >> 8), "page is not address bits 8..15");
    if (strLine.empty() || strLine[0] != ':') {
        Check(header.nLength == 0 && header.nAddress == 0, "non-record line has a header");
        return;
    }
    // Where both fields are complete, the header is what ":%02X%04X" reads.
    bool bComplete = strLine.size() >= 7;
    for (size_t i = 1; bComplete && i < 7; ++i)
        bComplete = IsHexDigit(strLine[i]);
    if (bComplete) {
        unsigned nLength = 0, nAddress = 0;
        Check(std::sscanf(strLine.c_str(), ":%02X%04X", &nLength, &nAddress) == 2, "sscanf");
        Check(header.nLength == nLength && header.nAddress == nAddress,
              "header differs from scanf");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CInputFile s_file;
    const std::string& strPath = s_file.Write(pData, nSize);

    CHexImage image;
    Check(image.Load(strPath), "Load of a readable file failed");

    const std::string_view file(reinterpret_cast<const char*>(pData), nSize);
    std::string_view prefix = file.substr(0, file.find('\x1A'));
    if (prefix.starts_with("\xEF\xBB\xBF")) prefix.remove_prefix(3);  // a byte order mark: no line
    size_t nLineEnds = 0;
    for (const char ch : prefix)
        nLineEnds += ch == '\n' ? 1 : 0;
    const size_t nExpected = nLineEnds + ((!prefix.empty() && prefix.back() != '\n') ? 1 : 0);
    Check(static_cast<size_t>(image.GetLineCount()) == nExpected, "line count");

    // The lines joined with the file's own line ends give back the file up to Ctrl-Z.
    std::vector<std::string> aData;
    size_t nPos = 0;
    for (int i = 0; i < image.GetLineCount(); ++i) {
        const std::string& strLine = image.LineAt(i);
        Check(image.GetLine(i) == strLine, "GetLine differs from LineAt");
        Check(strLine.find('\n') == std::string::npos, "line holds a line feed");
        Check(prefix.substr(nPos, strLine.size()) == strLine, "line differs from the file");
        nPos += strLine.size();
        if (nPos < prefix.size()) {
            if (prefix[nPos] == '\n') {
                Check(strLine.empty() || strLine.back() != '\r', "CR before LF kept in the line");
                nPos += 1;
            } else {
                Check(prefix.substr(nPos, 2) == "\r\n", "line not followed by a line end");
                nPos += 2;
            }
        } else {
            Check(i + 1 == image.GetLineCount(), "lines after the end of the file");
        }
        aData.push_back(DataText(strLine));
        CheckHeader(strLine);
    }
    Check(nPos == prefix.size(), "file content not covered by the lines");

    const TargetType nType = image.GetTargetType();
    Check(nType >= 0 && nType < kTargetTypeCount, "type out of range");
    Check(nType == ReferenceType(aData), "type differs from the pairwise search");

    const HexCheckResult result = CheckHexImage(image);
    Check(result.aErrors.size() == std::min(result.nErrorCount, HexCheckResult::kMaxKeptErrors),
          "kept errors do not match the count");
    if (result.IsValid()) {
        std::vector<std::string> aLines;
        for (int i = 0; i < image.GetLineCount(); ++i) {
            const std::string& strLine = image.LineAt(i);
            DecodedHexRecord record;
            Check(strLine.empty() || strLine[0] != ':' || DecodeHexRecord(strLine, record),
                  "check passed a record the decoder refuses");
            aLines.push_back(strLine);
        }
        uint64_t nRangeBytes = 0;
        for (const HexRange& range : result.aRanges)
            nRangeBytes += range.nEnd - range.nFirst;
        Check(FlashImageOf(aLines).size() == result.nDataBytes, "data bytes differ from decoder");
        Check(nRangeBytes == result.nDataBytes, "ranges do not add up to the data bytes");
    }
    return 0;
}
