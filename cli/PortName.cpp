#include "PortName.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "Args.h"
#include "Commands.h"
#include "PortInfo.h"
#include "PortMap.h"

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string str) {
    std::transform(str.begin(), str.end(), str.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return str;
}

// The device a path leads to; the path itself when it leads nowhere.
std::string Canonical(const std::string& strPath) {
    std::error_code ec;
    const fs::path real = fs::canonical(strPath, ec);
    return ec ? strPath : real.string();
}

bool Exists(const std::string& strPath) {
    std::error_code ec;
    return fs::exists(strPath, ec);
}

PortMatch FromPath(const std::string& strPath, const std::string& strName) {
    PortMatch m;
    if (Exists(strPath))
        m.strDevice = Canonical(strPath);
    else
        m.strProblem = "no such port: " + strName;
    return m;
}

PortMatch FromUsb(const std::string& strName) {
    PortMatch m;
    // usb:VID:PID[:SERIAL]; the serial number may itself hold colons.
    const std::string strSpec = strName.substr(4);
    const size_t nColon = strSpec.find(':');
    if (nColon == std::string::npos || nColon == 0) {
        m.strProblem = "usb ports are named usb:VID:PID[:SERIAL], not " + strName;
        return m;
    }
    const size_t nSerial = strSpec.find(':', nColon + 1);
    const std::string strVidPid = Lower(strSpec.substr(0, nSerial));
    const bool bSerial = nSerial != std::string::npos;
    const std::string strSerial = bSerial ? strSpec.substr(nSerial + 1) : "";
    std::vector<SPortInfo> aHits;
    for (const SPortInfo& port : ListPorts(false)) {
        if (Lower(port.strVidPid) == strVidPid && (!bSerial || port.strSerial == strSerial)) {
            aHits.push_back(port);
        }
    }
    if (aHits.empty()) {
        m.strProblem = "no USB serial port " + strName + " is plugged in";
    } else if (aHits.size() == 1) {
        m.strDevice = aHits.front().strTty;
    } else {
        for (const auto& port : aHits) {
            m.aCandidates.push_back("COM" + std::to_string(port.nCom) + "  " + port.strTty +
                                    "  usb:" + port.strVidPid +
                                    (port.strSerial.empty() ? "" : ":" + port.strSerial));
        }
    }
    return m;
}

}  // namespace

int ComNumber(const std::string& strName) {
    if (strName.size() < 4 || Lower(strName.substr(0, 3)) != "com") return 0;
    long long n = 0;
    return CArgs::ToInt(strName.substr(3), 1, 9999, n) ? static_cast<int>(n) : 0;
}

PortMatch ResolvePortName(const std::string& strName, const std::string& strConfigFile) {
    if (strName.empty()) return {"", "an empty port name", {}};
    if (strName.front() == '/') return FromPath(strName, strName);
    if (Lower(strName.substr(0, std::min<size_t>(4, strName.size()))) == "usb:")
        return FromUsb(strName);
    CComPortMap& map = CComPortMap::Instance();
    if (const int nCom = ComNumber(strName); nCom != 0) {
        ApplyConfigPins(strConfigFile);
        const std::string strDevice = map.DeviceFor(nCom);
        if (strDevice.empty()) return {"", "no serial device is " + strName, {}};
        return FromPath(strDevice, strName + " (" + strDevice + ")");
    }
    // A bare tty name, as the kernel calls it.
    if (strName.find('/') == std::string::npos)
        return FromPath((fs::path(map.Roots().strDev) / strName).string(), strName);
    return {"", "unknown port name " + strName, {}};
}

bool IsNumberedByPosition(const std::string& strName, const std::string& strConfigFile) {
    const int nCom = ComNumber(strName);
    if (nCom == 0) return false;
    ApplyConfigPins(strConfigFile);
    return !CComPortMap::Instance().IsPinned(nCom);
}

bool PortMatch::ReportAmbiguous(const std::string& strName) const {
    if (aCandidates.empty()) return false;
    std::fprintf(stderr, "korvi-flash: %s matches more than one port:\n", strName.c_str());
    for (const auto& strCandidate : aCandidates)
        std::fprintf(stderr, "  %s\n", strCandidate.c_str());
    return true;
}
