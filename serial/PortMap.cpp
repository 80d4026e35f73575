#include "PortMap.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

// "ttyUSB10" -> {"ttyUSB", 10}; a name without a trailing number gets -1.
std::pair<std::string, long> SplitNumber(const std::string& strName) {
    size_t n = strName.size();
    while (n > 0 && std::isdigit(static_cast<unsigned char>(strName[n - 1])))
        --n;
    if (n == strName.size()) return {strName, -1};
    return {strName.substr(0, n), std::stol(strName.substr(n))};
}

bool NaturalLess(const std::string& a, const std::string& b) {
    return SplitNumber(a) < SplitNumber(b);
}

std::string ReadFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string strLine;
    std::getline(in, strLine);
    return strLine;
}

// Real hardware behind a tty; for the legacy 8250 ports, a UART actually found at probe time.
bool HasHardware(const fs::path& sysEntry, const std::string& strName) {
    std::error_code ec;
    if (!fs::exists(sysEntry / "device", ec)) return false;
    if (SplitNumber(strName).first != "ttyS") return true;
    const std::string strType = ReadFirstLine(sysEntry / "type");
    return !strType.empty() && strType != "0";
}

// Key for comparing a pinned path with an enumerated one (by-id links name the same tty).
std::string Canonical(const std::string& strPath) {
    std::error_code ec;
    const fs::path real = fs::canonical(strPath, ec);
    return ec ? strPath : real.string();
}

}  // namespace

CComPortMap& CComPortMap::Instance() {
    static CComPortMap map;
    return map;
}

void CComPortMap::Pin(int nCom, const std::string& strDevice) {
    std::lock_guard lock(m_mutex);
    m_pins[nCom] = strDevice;
}

void CComPortMap::ClearPins() {
    std::lock_guard lock(m_mutex);
    m_pins.clear();
}

void CComPortMap::SetEnumerate(bool bEnumerate) {
    std::lock_guard lock(m_mutex);
    m_bEnumerate = bEnumerate;
}

void CComPortMap::SetRoots(const std::string& strDevRoot, const std::string& strSysTtyRoot) {
    std::lock_guard lock(m_mutex);
    m_strDevRoot = strDevRoot;
    m_strSysTtyRoot = strSysTtyRoot;
}

std::vector<std::string> CComPortMap::EnumerateDevices() const {
    std::string strDev, strSys;
    {
        std::lock_guard lock(m_mutex);
        strDev = m_strDevRoot;
        strSys = m_strSysTtyRoot;
    }
    std::vector<std::string> usb, acm, other;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(strSys, ec)) {
        const std::string strName = entry.path().filename().string();
        const std::string strKind = SplitNumber(strName).first;
        if (!fs::exists(fs::path(strDev) / strName, ec)) continue;
        if (strKind == "ttyUSB") {
            usb.push_back(strName);
        } else if (strKind == "ttyACM") {
            acm.push_back(strName);
        } else if (HasHardware(entry.path(), strName)) {
            other.push_back(strName);
        }
    }
    std::vector<std::string> all;
    for (auto* pGroup : {&usb, &acm, &other}) {
        std::sort(pGroup->begin(), pGroup->end(), NaturalLess);
        for (const auto& strName : *pGroup)
            all.push_back((fs::path(strDev) / strName).string());
    }
    return all;
}

std::string CComPortMap::DeviceFor(int nCom) const {
    std::map<int, std::string> pins;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_pins.find(nCom); it != m_pins.end()) return it->second;
        if (!m_bEnumerate || nCom < 1) return {};
        pins = m_pins;
    }
    std::set<std::string> pinned;
    for (const auto& [n, strPath] : pins)
        pinned.insert(Canonical(strPath));
    std::vector<std::string> free;
    for (const auto& strPath : EnumerateDevices()) {
        if (!pinned.count(Canonical(strPath))) free.push_back(strPath);
    }
    // Unpinned numbers take the free devices in order: COMn gets the k-th, k counting the
    // unpinned numbers below n.
    const auto nBelow =
        static_cast<size_t>(std::count_if(pins.begin(), pins.end(), [nCom](const auto& p) {
            return p.first >= 1 && p.first < nCom;
        }));
    const size_t nIndex = static_cast<size_t>(nCom - 1) - nBelow;
    return nIndex < free.size() ? free[nIndex] : std::string();
}

std::string CComPortMap::Resolve(const std::string& strName) const {
    if (!strName.empty() && strName.front() == '/') return strName;
    if (strName.size() < 4) return {};
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(strName[i])) != "COM"[i]) return {};
    }
    int nCom = 0;
    for (size_t i = 3; i < strName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(strName[i])) || nCom > 9999) return {};
        nCom = nCom * 10 + (strName[i] - '0');
    }
    return DeviceFor(nCom);
}
