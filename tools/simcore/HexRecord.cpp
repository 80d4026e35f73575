#include "HexRecord.h"

namespace {

void AppendHexByte(std::string& str, uint8_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    str.push_back(kDigits[n >> 4]);
    str.push_back(kDigits[n & 0x0F]);
}

int ByteAt(std::string_view str, size_t nPos) {
    const int nHigh = HexDigitValue(str[nPos]);
    const int nLow = HexDigitValue(str[nPos + 1]);
    return (nHigh < 0 || nLow < 0) ? -1 : nHigh * 16 + nLow;
}

}  // namespace

int HexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

std::string MakeHexRecord(uint8_t nType, uint16_t nAddress, const std::vector<uint8_t>& abData) {
    const auto nLength = static_cast<uint8_t>(abData.size());
    std::string str = ":";
    str.reserve(11 + 2 * abData.size());
    uint8_t nSum = 0;
    for (uint8_t n : {nLength, static_cast<uint8_t>(nAddress >> 8),
                      static_cast<uint8_t>(nAddress & 0xFF), nType}) {
        AppendHexByte(str, n);
        nSum = static_cast<uint8_t>(nSum + n);
    }
    for (size_t i = 0; i < nLength; ++i) {
        AppendHexByte(str, abData[i]);
        nSum = static_cast<uint8_t>(nSum + abData[i]);
    }
    AppendHexByte(str, static_cast<uint8_t>(0x100 - nSum));
    return str;
}

std::string MakeHexDataRecord(uint16_t nAddress, std::string_view strData) {
    return MakeHexRecord(0x00, nAddress, std::vector<uint8_t>(strData.begin(), strData.end()));
}

std::string MakeHexLinearRecord(uint16_t nUpper) {
    return MakeHexRecord(0x04, 0,
                         {static_cast<uint8_t>(nUpper >> 8), static_cast<uint8_t>(nUpper & 0xFF)});
}

bool DecodeHexRecord(std::string_view str, DecodedHexRecord& record) {
    if (str.size() < 11 || str[0] != ':') return false;
    const int nLength = ByteAt(str, 1);
    if (nLength < 0 || str.size() != 11 + 2 * static_cast<size_t>(nLength)) return false;
    uint8_t nSum = 0;
    std::vector<uint8_t> abBytes;
    abBytes.reserve(static_cast<size_t>(nLength) + 5);
    for (size_t nPos = 1; nPos < str.size(); nPos += 2) {
        const int n = ByteAt(str, nPos);
        if (n < 0) return false;
        abBytes.push_back(static_cast<uint8_t>(n));
        nSum = static_cast<uint8_t>(nSum + n);
    }
    if (nSum != 0) return false;
    record.nAddress = static_cast<uint16_t>(abBytes[1] << 8 | abBytes[2]);
    record.nType = abBytes[3];
    record.abData.assign(abBytes.begin() + 4, abBytes.end() - 1);
    return true;
}

std::map<uint32_t, uint8_t> FlashImageOf(const std::vector<std::string>& aLines) {
    std::map<uint32_t, uint8_t> image;
    uint32_t nBase = 0;
    for (const std::string& strLine : aLines) {
        DecodedHexRecord rec;
        if (!DecodeHexRecord(strLine, rec)) continue;
        const uint32_t nUpper = rec.abData.size() == 2 ? (rec.abData[0] << 8 | rec.abData[1]) : 0;
        if (rec.nType == 0x02) nBase = nUpper << 4;
        if (rec.nType == 0x04) nBase = nUpper << 16;
        for (size_t i = 0; rec.nType == 0x00 && i < rec.abData.size(); ++i)
            image[nBase + static_cast<uint16_t>(rec.nAddress + i)] = rec.abData[i];
    }
    return image;
}
