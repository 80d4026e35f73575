#pragma once

#include <cstdio>
#include <string>

// printf-style formatting of the window's texts and mode strings ("COM%d:9600,N,8,1").
template <class... Args>
std::string FormatText(const char* szFormat, Args... args) {
    char buffer[256];
    const int nLength = std::snprintf(buffer, sizeof buffer, szFormat, args...);
    if (nLength < 0) return {};
    if (static_cast<size_t>(nLength) < sizeof buffer)
        return std::string(buffer, static_cast<size_t>(nLength));
    std::string strResult(static_cast<size_t>(nLength) + 1, '\0');
    std::snprintf(strResult.data(), strResult.size(), szFormat, args...);
    strResult.resize(static_cast<size_t>(nLength));
    return strResult;
}
