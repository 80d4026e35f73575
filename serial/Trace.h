#pragma once

#include <functional>
#include <string>

// Diagnostic trace of the serial link. Silent unless KORVI_SERIAL_TRACE names a file (appended
// to) or is "stderr"; never shown to the operator.
namespace serialtrace {

// "<context> GetLastError(<code>) returned: \"<system text>\" \r\n"
std::string FormatErrorLine(const char* szContext, long nCode);

// Writes a line built by FormatErrorLine for errno-style code nCode.
void Error(const char* szContext, long nCode);
// Writes a line as it is.
void Line(const std::string& strLine);

// Routes every line to fn instead of the configured destination (nullptr restores it).
void SetSink(std::function<void(const std::string&)> fn);

}  // namespace serialtrace
