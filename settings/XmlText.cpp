#include "XmlText.h"

#include <climits>

namespace xmltext {
namespace {

constexpr char32_t kEscapeBase = 0xF700;

// Length of the well-formed UTF-8 sequence at the start of s (0 if there is none) and
// its code point. Rejects overlong forms, surrogates and values above U+10FFFF.
size_t DecodeUtf8(std::string_view s, char32_t& cp) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t nLength = 0;
    char32_t nMin = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        nLength = 2;
        nMin = 0x80;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        nLength = 3;
        nMin = 0x800;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        nLength = 4;
        nMin = 0x10000;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (s.size() < nLength) return 0;
    for (size_t i = 1; i < nLength; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < nMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return nLength;
}

bool NeedsEscape(char32_t cp) {
    if (cp < 0x20) return cp != '\t' && cp != '\n';
    return cp == 0xFFFE || cp == 0xFFFF || (cp >= kEscapeBase && cp <= kEscapeBase + 0xFF);
}

void AppendEscaped(std::string& strOut, unsigned char b) {
    // U+F700 + b in UTF-8: EF, 9C + top two bits, 80 + low six bits.
    strOut += static_cast<char>(0xEF);
    strOut += static_cast<char>(0x9C + (b >> 6));
    strOut += static_cast<char>(0x80 + (b & 0x3F));
}

bool IsNameStart(char32_t cp) {
    return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || cp == '_' ||
           (cp >= 0xC0 && cp <= 0xD6) || (cp >= 0xD8 && cp <= 0xF6) ||
           (cp >= 0xF8 && cp <= 0x2FF) || (cp >= 0x370 && cp <= 0x37D) ||
           (cp >= 0x37F && cp <= 0x1FFF) || (cp >= 0x200C && cp <= 0x200D) ||
           (cp >= 0x2070 && cp <= 0x218F) || (cp >= 0x2C00 && cp <= 0x2FEF) ||
           (cp >= 0x3001 && cp <= 0xD7FF) || (cp >= 0xF900 && cp <= 0xFDCF) ||
           (cp >= 0xFDF0 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0xEFFFF);
}

bool IsNameChar(char32_t cp) {
    return IsNameStart(cp) || cp == '-' || cp == '.' || (cp >= '0' && cp <= '9') || cp == 0xB7 ||
           (cp >= 0x300 && cp <= 0x36F) || (cp >= 0x203F && cp <= 0x2040);
}

}  // namespace

std::string EncodeValue(std::string_view strValue) {
    std::string strOut;
    strOut.reserve(strValue.size());
    size_t i = 0;
    while (i < strValue.size()) {
        char32_t cp = 0;
        const size_t nLength = DecodeUtf8(strValue.substr(i), cp);
        if (nLength == 0) {
            AppendEscaped(strOut, static_cast<unsigned char>(strValue[i]));
            ++i;
            continue;
        }
        for (size_t k = 0; k < nLength; ++k) {
            if (NeedsEscape(cp))
                AppendEscaped(strOut, static_cast<unsigned char>(strValue[i + k]));
            else
                strOut += strValue[i + k];
        }
        i += nLength;
    }
    return strOut;
}

std::string DecodeValue(std::string_view strText) {
    std::string strOut;
    strOut.reserve(strText.size());
    size_t i = 0;
    while (i < strText.size()) {
        const auto b = [&](size_t k) { return static_cast<unsigned char>(strText[i + k]); };
        if (i + 2 < strText.size() && b(0) == 0xEF && b(1) >= 0x9C && b(1) <= 0x9F &&
            (b(2) & 0xC0) == 0x80) {
            strOut += static_cast<char>(((b(1) - 0x9C) << 6) | (b(2) & 0x3F));
            i += 3;
        } else {
            strOut += strText[i];
            ++i;
        }
    }
    return strOut;
}

bool IsElementName(std::string_view strName) {
    if (strName.empty()) return false;
    bool bFirst = true;
    while (!strName.empty()) {
        char32_t cp = 0;
        const size_t nLength = DecodeUtf8(strName, cp);
        if (nLength == 0 || !(bFirst ? IsNameStart(cp) : IsNameChar(cp))) return false;
        strName.remove_prefix(nLength);
        bFirst = false;
    }
    return true;
}

std::string_view LocalName(std::string_view strName) {
    const size_t nColon = strName.rfind(':');
    return nColon == std::string_view::npos ? strName : strName.substr(nColon + 1);
}

int ParseDecimal(std::string_view strText) {
    size_t i = 0;
    // The C locale's white space, as atoi skips it.
    while (i < strText.size() && (strText[i] == ' ' || (strText[i] >= '\t' && strText[i] <= '\r')))
        ++i;
    bool bNegative = false;
    if (i < strText.size() && (strText[i] == '+' || strText[i] == '-')) {
        bNegative = strText[i] == '-';
        ++i;
    }
    // Accumulate towards the sign's limit so that INT_MIN needs no special case.
    long long nValue = 0;
    for (; i < strText.size() && strText[i] >= '0' && strText[i] <= '9'; ++i) {
        const int nDigit = strText[i] - '0';
        nValue = nValue * 10 + (bNegative ? -nDigit : nDigit);
        if (nValue > INT_MAX) return INT_MAX;
        if (nValue < INT_MIN) return INT_MIN;
    }
    return static_cast<int>(nValue);
}

}  // namespace xmltext
