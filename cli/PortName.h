#pragma once

#include <string>
#include <vector>

// What --port named.
struct PortMatch {
    std::string strDevice;                 // the device to open; "" when none
    std::string strProblem;                // why there is none
    std::vector<std::string> aCandidates;  // set when the name fits more than one port

    // When strName fitted more than one port, lists them on stderr and returns true.
    bool ReportAmbiguous(const std::string& strName) const;
};

// "COM3" or "com3" -> 3; 0 for a name that is no COM number.
int ComNumber(const std::string& strName);

// "COM3" (the window's numbering, with the pins of the settings file strConfigFile when it
// exists), a device path, a /dev/serial/by-id or by-path link, a bare tty name ("ttyUSB0"),
// or "usb:VID:PID[:SERIAL]" (hexadecimal VID and PID, any case).
PortMatch ResolvePortName(const std::string& strName, const std::string& strConfigFile);

// True for a COM name that no pin holds (those of strConfigFile applied): its number goes to
// whichever device is found in its place, so it does not stay with one socket.
bool IsNumberedByPosition(const std::string& strName, const std::string& strConfigFile);
