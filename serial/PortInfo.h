#pragma once

#include <string>
#include <vector>

// What is known about the serial ports, for listings outside the window.
struct SPortInfo {
    int nCom = 0;            // the number the window lists the port under
    std::string strDevice;   // what COMn opens: a /dev/serial link where one names the tty
    std::string strTty;      // the tty node itself, "/dev/ttyUSB0"
    std::string strById;     // /dev/serial/by-id link naming the tty, "" when none
    std::string strByPath;   // /dev/serial/by-path link naming the tty, "" when none
    std::string strVidPid;   // USB vendor and product, "0403:6001"; "" for other devices
    std::string strSerial;   // USB serial number, "" when the device has none
    std::string strDriver;   // kernel driver, "ftdi_sio"; "" when unknown
    bool bHeld = false;      // another program holds the port
    std::string strHeldWhy;  // how, when held: "open in process 812 (minicom)"
};

// COM1..COM16 that lead to a device, lowest first, numbered as the window numbers them. Takes
// a fresh look at the devices present (the numbering is rebuilt, as when the window builds its
// list). With bCheckHeld each device is opened briefly, as the window's probe does, unless
// another program holds it.
std::vector<SPortInfo> ListPorts(bool bCheckHeld = true);

// What the system tells of one device (a tty or a link to one), numbered or not: tty, links,
// USB vendor, product and serial number, driver. nCom stays 0; the port map is left as it is.
SPortInfo DescribePort(const std::string& strDevice);

// True when another program holds the device (see portio::CPortClaim::Claim); *pReason then
// says how. A device that is free, absent or not accessible is not held.
bool IsPortHeld(const std::string& strDevice, std::string* pReason = nullptr);
