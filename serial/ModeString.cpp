#include "ModeString.h"

#include <cctype>
#include <charconv>
#include <string_view>

#include "Baud.h"

std::string DeviceNameFromMode(const std::string& cMode) {
    const size_t nColon = cMode.find(':');
    if (nColon == std::string::npos) return {};
    return cMode.substr(0, nColon);
}

std::string SettingsFromMode(const std::string& cMode) {
    for (size_t i = 0; i < cMode.size(); ++i) {
        if (std::isalnum(static_cast<unsigned char>(cMode[i]))) return cMode.substr(i);
    }
    return {};
}

namespace {

// Reads an unsigned decimal field up to the next ',' (or the end); advances past the comma.
bool ReadNumber(std::string_view& s, uint32_t& rValue, bool bLast) {
    const size_t nEnd = bLast ? s.size() : s.find(',');
    if (nEnd == std::string_view::npos || nEnd == 0) return false;
    const char* pBegin = s.data();
    const char* pStop = s.data() + nEnd;
    auto [p, ec] = std::from_chars(pBegin, pStop, rValue);
    if (ec != std::errc() || p != pStop) return false;
    s.remove_prefix(bLast ? nEnd : nEnd + 1);
    return true;
}

}  // namespace

bool ParseLineSettings(const std::string& strSettings, LineSettings& rOut) {
    std::string_view s(strSettings);
    const size_t nColon = s.find(':');
    if (nColon != std::string_view::npos) s.remove_prefix(nColon + 1);

    LineSettings ls;
    uint32_t nData = 0, nStop = 0;
    if (!ReadNumber(s, ls.nBaud, false) || BaudToSpeed(ls.nBaud) == 0) return false;
    if (s.size() < 2 || s[1] != ',') return false;
    ls.cParity = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    if (ls.cParity != 'N' && ls.cParity != 'E' && ls.cParity != 'O') return false;
    s.remove_prefix(2);
    if (!ReadNumber(s, nData, false) || nData < 5 || nData > 8) return false;
    if (!ReadNumber(s, nStop, true) || (nStop != 1 && nStop != 2) || !s.empty()) return false;
    ls.nDataBits = static_cast<int>(nData);
    ls.nStopBits = static_cast<int>(nStop);
    rOut = ls;
    return true;
}
