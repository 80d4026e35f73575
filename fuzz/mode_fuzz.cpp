// Takes arbitrary text as a port mode string: the device name is the text before the first
// ':', the settings string starts at the first letter or digit, and the parser accepts only
// "baud,parity,databits,stopbits" with values a port can take, the same way every time,
// whatever the device part says, and leaves its output alone when it refuses.
#include "Baud.h"
#include "ModeString.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool bCondition, const char* szWhat) {
    if (!bCondition) {
        std::fprintf(stderr, "mode_fuzz: %s\n", szWhat);
        std::abort();
    }
}

bool Same(const LineSettings& a, const LineSettings& b) {
    return a.nBaud == b.nBaud && a.cParity == b.cParity && a.nDataBits == b.nDataBits &&
           a.nStopBits == b.nStopBits;
}

bool IsDigits(std::string_view str) {
    if (str.empty()) return false;
    for (const char ch : str) {
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// "digits,letter,digits,digits" and nothing else, after the text up to the first ':'.
bool HasSettingsGrammar(std::string_view str) {
    if (const size_t nColon = str.find(':'); nColon != std::string_view::npos)
        str.remove_prefix(nColon + 1);
    const size_t n1 = str.find(',');
    if (n1 == std::string_view::npos || !IsDigits(str.substr(0, n1))) return false;
    if (str.size() < n1 + 3 || str[n1 + 2] != ',') return false;
    const std::string_view rest = str.substr(n1 + 3);
    const size_t n3 = rest.find(',');
    return n3 != std::string_view::npos && IsDigits(rest.substr(0, n3)) &&
           IsDigits(rest.substr(n3 + 1));
}

// Parses with a sentinel in the output; a refusal must leave it as it was.
bool Parse(const std::string& strSettings, LineSettings& rOut) {
    const LineSettings sentinel{4242, 'X', 42, 42};
    rOut = sentinel;
    const bool bAccepted = ParseLineSettings(strSettings, rOut);
    if (!bAccepted) Check(Same(rOut, sentinel), "refused settings changed the output");
    return bAccepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string cMode(reinterpret_cast<const char*>(pData), nSize);
    const size_t nColon = cMode.find(':');

    const std::string strDevice = DeviceNameFromMode(cMode);
    Check(strDevice == (nColon == std::string::npos ? std::string() : cMode.substr(0, nColon)),
          "device name is not the text before the first ':'");

    const std::string strSettings = SettingsFromMode(cMode);
    const size_t nFirst = cMode.size() - strSettings.size();
    Check(cMode.compare(nFirst, std::string::npos, strSettings) == 0, "settings not a suffix");
    for (size_t i = 0; i < nFirst; ++i)
        Check(!std::isalnum(static_cast<unsigned char>(cMode[i])), "settings start too late");
    Check(strSettings.empty() || std::isalnum(static_cast<unsigned char>(strSettings[0])),
          "settings do not start at a letter or digit");

    LineSettings ls;
    const bool bAccepted = Parse(strSettings, ls);
    LineSettings again;
    Check(Parse(strSettings, again) == bAccepted && (!bAccepted || Same(ls, again)),
          "parsing is not deterministic");
    if (bAccepted) {
        Check(HasSettingsGrammar(strSettings), "accepted text of another form");
        Check(BaudToSpeed(ls.nBaud) != 0, "accepted a baud rate the port cannot take");
        Check(ls.cParity == 'N' || ls.cParity == 'E' || ls.cParity == 'O', "parity");
        Check(ls.nDataBits >= 5 && ls.nDataBits <= 8, "data bits");
        Check(ls.nStopBits == 1 || ls.nStopBits == 2, "stop bits");
        // The canonical text, with the parity letter in either case, reads back the same.
        char szCanonical[64];
        std::snprintf(szCanonical, sizeof szCanonical, "COM1:%u,%c,%d,%d", ls.nBaud,
                      std::tolower(static_cast<unsigned char>(ls.cParity)), ls.nDataBits,
                      ls.nStopBits);
        Check(Parse(szCanonical, again) && Same(ls, again), "canonical text reads differently");
    }

    // The device part is ignored once it holds a letter or digit, where the settings begin.
    if (nColon != std::string::npos && nFirst < nColon) {
        const std::string strOther = SettingsFromMode("COM1" + cMode.substr(nColon));
        Check(Parse(strOther, again) == bAccepted && (!bAccepted || Same(ls, again)),
              "device part changes the settings");
    }
    return 0;
}
