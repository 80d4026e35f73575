#include "Trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace serialtrace {
namespace {

std::mutex g_mutex;
std::function<void(const std::string&)> g_sink;

// Opened on first use from the environment; nullptr means silent.
FILE* Destination() {
    static FILE* pFile = []() -> FILE* {
        const char* szTarget = std::getenv("KORVI_SERIAL_TRACE");
        if (szTarget == nullptr || *szTarget == '\0') return nullptr;
        if (std::strcmp(szTarget, "stderr") == 0) return stderr;
        return std::fopen(szTarget, "a");
    }();
    return pFile;
}

}  // namespace

std::string FormatErrorLine(const char* szContext, long nCode) {
    char szText[256] = "";
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* szMessage = strerror_r(static_cast<int>(nCode), szText, sizeof szText);
    std::string strLine = szContext;
    strLine += " GetLastError(" + std::to_string(nCode) + ") returned: \"";
    strLine += szMessage != nullptr ? szMessage : "";
    strLine += "\" \r\n";
    return strLine;
}

void Error(const char* szContext, long nCode) {
    Line(FormatErrorLine(szContext, nCode));
}

void Line(const std::string& strLine) {
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(strLine);
        return;
    }
    if (FILE* pFile = Destination()) {
        std::fputs(strLine.c_str(), pFile);
        std::fflush(pFile);
    }
}

void SetSink(std::function<void(const std::string&)> fn) {
    std::lock_guard lock(g_mutex);
    g_sink = std::move(fn);
}

}  // namespace serialtrace
