#pragma once

#include <cstdint>
#include <string>

// Line settings read from a settings string such as "COM3:19200,N,8,1".
struct LineSettings {
    uint32_t nBaud = 0;
    char cParity = 'N';  // 'N', 'E' or 'O'
    int nDataBits = 8;   // 5..8
    int nStopBits = 1;   // 1 or 2
};

// Text before the first ':'; empty when there is none or it comes first.
std::string DeviceNameFromMode(const std::string& cMode);

// Text from the first letter or digit of the whole mode string to its end.
std::string SettingsFromMode(const std::string& cMode);

// Reads "[device:]baud,parity,databits,stopbits". The device part is ignored. False, with
// rOut untouched, for anything it cannot read: unknown baud rate, parity other than N/E/O
// (either case), data bits outside 5..8, stop bits other than 1 or 2, stray characters.
bool ParseLineSettings(const std::string& strSettings, LineSettings& rOut);
