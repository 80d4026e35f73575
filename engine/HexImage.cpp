#include "HexImage.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr TargetInfo kTargets[kTargetTypeCount] = {
    {nullptr, -1, 19200, "COM%d:19200,N,8,1"},
    {"QNTHNT370_(*#", '(', 115200, "COM%d:115200,N,8,1"},
    {"QNTHNT330_)*#", ')', 115200, "COM%d:115200,N,8,1"},
    {"QNTPRX170_)*#", '!', 19200, "COM%d:19200,N,8,1"},
    {"QNTVLK530_)*#", '/', 19200, "COM%d:19200,N,8,1"},
    {"QNTVLK540_(#*", 0xB0, 19200, "COM%d:19200,N,8,1"},
};

// Every signature text begins with the digits of "QNT"; candidates are found by this prefix.
constexpr std::string_view kSignaturePrefix = "514E54";
constexpr char kCtrlZ = 0x1A;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

// Reads up to nMaxDigits hex digits at nPos; returns the digit count (0: field absent).
size_t ScanHex(std::string_view str, size_t nPos, size_t nMaxDigits, unsigned& nValue) {
    size_t nDigits = 0;
    nValue = 0;
    while (nDigits < nMaxDigits && nPos + nDigits < str.size()) {
        const int n = HexValue(str[nPos + nDigits]);
        if (n < 0) break;
        nValue = nValue * 16 + static_cast<unsigned>(n);
        ++nDigits;
    }
    return nDigits;
}

struct CFileDescriptor {
    int nFd;
    ~CFileDescriptor() {
        if (nFd >= 0) ::close(nFd);
    }
};

// read() that resumes after a signal; -1 on a read error.
ssize_t ReadSome(int nFd, char* pBuffer, size_t nSize) {
    ssize_t nRead;
    do
        nRead = ::read(nFd, pBuffer, nSize);
    while (nRead < 0 && errno == EINTR);
    return nRead;
}

// Reads a regular file whole. Anything else (a folder, a pipe, a device) is no firmware file:
// it is refused without blocking, as a pipe with no writer would block a plain open.
bool ReadWholeFile(const std::string& strPath, std::string& strContent) {
    const CFileDescriptor file{::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat info {};
    if (file.nFd < 0 || ::fstat(file.nFd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    // No firmware comes near it (its lines would take a day on the wire): a disk image or the
    // like, picked by mistake, is refused before any memory is asked for it.
    constexpr off_t kMaxFileBytes = off_t{1} << 30;
    if (info.st_size > kMaxFileBytes) return false;
    // The known size in one piece, then whatever a growing file has added.
    strContent.resize(static_cast<size_t>(info.st_size));
    size_t nHave = 0;
    while (nHave < strContent.size()) {
        const ssize_t nRead =
            ReadSome(file.nFd, strContent.data() + nHave, strContent.size() - nHave);
        if (nRead < 0) return false;
        if (nRead == 0) break;
        nHave += static_cast<size_t>(nRead);
    }
    strContent.resize(nHave);
    char aBuffer[1 << 14];
    for (;;) {
        const ssize_t nRead = ReadSome(file.nFd, aBuffer, sizeof(aBuffer));
        if (nRead < 0) return false;
        if (nRead == 0) return true;
        strContent.append(aBuffer, static_cast<size_t>(nRead));
    }
}

}  // namespace

const TargetInfo& GetTargetInfo(TargetType nType) {
    return kTargets[(nType >= 0 && nType < kTargetTypeCount) ? nType : 0];
}

void CHexImage::BuildSignatures() {
    for (int nType = 1; nType < kTargetTypeCount; ++nType) {
        std::string& strSignature = m_aSignatures[static_cast<size_t>(nType)];
        strSignature.clear();
        for (const char* p = kTargets[nType].szMarker; *p != '\0'; ++p) {
            char aDigits[8];
            std::snprintf(aDigits, sizeof(aDigits), "%X", static_cast<unsigned char>(*p));
            strSignature += aDigits;
        }
    }
}

// Fields hold hex digits only (no blanks, sign or "0x"), at most 2 and 4 of them; a field
// that is absent stays 0. A line that is no record (blank, text, ":" alone) therefore lies on
// page 0, and a rewind treats it like any other line of page 0.
RecordHeader CHexImage::ParseRecordHeader(std::string_view strLine) {
    RecordHeader header;
    if (strLine.empty() || strLine[0] != ':') return header;
    unsigned nLength = 0;
    const size_t nLengthDigits = ScanHex(strLine, 1, 2, nLength);
    if (nLengthDigits == 0) return header;
    header.nLength = static_cast<uint8_t>(nLength);
    unsigned nAddress = 0;
    ScanHex(strLine, 1 + nLengthDigits, 4, nAddress);
    header.nAddress = static_cast<uint16_t>(nAddress);
    header.nPage = static_cast<uint8_t>((nAddress >> 8) & 0xFF);
    return header;
}

// A file larger than memory fails like one that cannot be read.
bool CHexImage::Load(const std::string& strPath) try {
    std::string strContent;
    // A read error after opening fails the load as a whole: half a firmware must never be sent.
    if (!ReadWholeFile(strPath, strContent)) return false;
    if (const size_t nEnd = strContent.find(kCtrlZ); nEnd != std::string::npos)
        strContent.resize(nEnd);
    // An editor's byte order mark would make the first record a note that is never sent: an
    // address record there lost, every later record would land in the wrong segment.
    if (strContent.starts_with(kByteOrderMark)) strContent.erase(0, kByteOrderMark.size());

    std::vector<std::string> aLines;
    aLines.reserve(strContent.size() / 32);
    // All data texts back to back; the data of line i is [aDataStart[i], aDataStart[i + 1]),
    // so the joined data of a pair is one contiguous range and needs no copy.
    std::string strData;
    strData.reserve(strContent.size());
    std::vector<size_t> aDataStart;
    aDataStart.reserve(aLines.capacity() + 1);

    const std::string_view content(strContent);
    size_t nPos = 0;
    while (nPos < content.size()) {
        size_t nEnd = content.find('\n', nPos);
        const size_t nNext = (nEnd == std::string_view::npos) ? content.size() : nEnd + 1;
        if (nEnd == std::string_view::npos)
            nEnd = content.size();
        else if (nEnd > nPos && content[nEnd - 1] == '\r')
            --nEnd;
        const std::string_view line = content.substr(nPos, nEnd - nPos);
        nPos = nNext;

        aDataStart.push_back(strData.size());
        aLines.emplace_back(line);
        // Only a line that starts like a record has a data text; it never reaches past the
        // end of its line, however large its length field claims to be.
        unsigned nLength = 0;
        if (line.size() > 1 && line[0] == ':' && ScanHex(line, 1, 2, nLength) > 0 &&
            line.size() > 9) {
            const size_t nFrom = strData.size();
            strData.append(line.substr(9, 2 * static_cast<size_t>(nLength)));
            for (size_t i = nFrom; i < strData.size(); ++i)
                strData[i] &= 0x7F;
        }
    }
    aDataStart.push_back(strData.size());

    if (m_aSignatures[1].empty()) BuildSignatures();
    m_aLines = std::move(aLines);
    m_nTargetType = FindTargetType(strData, aDataStart);
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

// The outcome equals searching every pair of consecutive lines in order, the last pair with
// any match deciding and the lowest type winning within a pair. Instead of searching each
// pair, each match is assigned to the last pair whose joined data holds it completely.
TargetType CHexImage::FindTargetType(std::string_view strData,
                                     const std::vector<size_t>& aDataStart) const {
    const size_t nLines = aDataStart.size() - 1;
    if (nLines < 2) return 0;
    size_t nBestPair = 0;
    TargetType nBestType = 0;
    for (size_t nPos = strData.find(kSignaturePrefix); nPos != std::string_view::npos;
         nPos = strData.find(kSignaturePrefix, nPos + 1)) {
        TargetType nType = 0;
        for (int n = 1; n < kTargetTypeCount && nType == 0; ++n) {
            const std::string& strSignature = m_aSignatures[static_cast<size_t>(n)];
            if (!strSignature.empty() && strData.substr(nPos, strSignature.size()) == strSignature)
                nType = n;
        }
        if (nType == 0) continue;
        // Line holding the match's first character: the last one starting at or before it.
        const auto it = std::upper_bound(aDataStart.begin(), aDataStart.end() - 1, nPos);
        const size_t nLine = static_cast<size_t>(it - aDataStart.begin()) - 1;
        const size_t nPair = std::min(nLine, nLines - 2);
        const size_t nMatchEnd = nPos + m_aSignatures[static_cast<size_t>(nType)].size();
        if (nMatchEnd > aDataStart[nPair + 2]) continue;  // spread over three or more lines
        if (nBestType == 0 || nPair > nBestPair || (nPair == nBestPair && nType < nBestType)) {
            nBestPair = nPair;
            nBestType = nType;
        }
    }
    return nBestType;
}
