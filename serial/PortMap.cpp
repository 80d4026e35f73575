#include "PortMap.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

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

std::string Trim(const std::string& str) {
    const auto bSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto itBegin = std::find_if_not(str.begin(), str.end(), bSpace);
    const auto itEnd = std::find_if_not(str.rbegin(), str.rend(), bSpace).base();
    return itBegin < itEnd ? std::string(itBegin, itEnd) : std::string();
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

// Devices the kernel console writes to, as canonical paths.
std::set<std::string> ConsoleDevices(const SPortRoots& roots) {
    std::set<std::string> devices;
    std::istringstream names(ReadFirstLine(fs::path(roots.strSysTty) / "console" / "active"));
    for (std::string strName; names >> strName;)
        devices.insert(Canonical((fs::path(roots.strDev) / strName).string()));
    return devices;
}

std::vector<std::string> Enumerate(const SPortRoots& roots) {
    const std::set<std::string> consoles = ConsoleDevices(roots);
    std::vector<std::string> usb, acm, other;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(roots.strSysTty, ec)) {
        const std::string strName = entry.path().filename().string();
        const std::string strKind = SplitNumber(strName).first;
        const fs::path dev = fs::path(roots.strDev) / strName;
        // No bootloader answers on a Bluetooth link, and the console is not ours to take.
        if (strKind == "rfcomm" || !fs::exists(dev, ec) || consoles.count(Canonical(dev))) continue;
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
            all.push_back((fs::path(roots.strDev) / strName).string());
    }
    return all;
}

// Canonical device -> the first /dev/serial/by-id link naming it, else the first by-path one.
std::map<std::string, std::string> StableNames(const SPortRoots& roots) {
    std::map<std::string, std::string> names;
    for (const char* szDir : {"serial/by-id", "serial/by-path"}) {
        std::vector<std::string> links;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fs::path(roots.strDev) / szDir, ec))
            links.push_back(entry.path().string());
        std::sort(links.begin(), links.end());
        for (const auto& strLink : links)
            names.emplace(Canonical(strLink), strLink);
    }
    return names;
}

constexpr int kLastListedCom = 16;

// "COM7" -> 7; 0 for anything else, numbers beyond the probed range included.
int ParsePortKey(const std::string& strKey) {
    if (strKey.size() < 4 || strKey.compare(0, 3, "COM") != 0) return 0;
    int nCom = 0;
    const char* pEnd = strKey.data() + strKey.size();
    const auto result = std::from_chars(strKey.data() + 3, pEnd, nCom);
    if (result.ec != std::errc() || result.ptr != pEnd || nCom < 1 || nCom > kLastListedCom)
        return 0;
    return nCom;
}

}  // namespace

CComPortMap& CComPortMap::Instance() {
    static CComPortMap map;
    return map;
}

void CComPortMap::Pin(int nCom, const std::string& strDevice) {
    std::lock_guard lock(m_mutex);
    m_pins[nCom] = strDevice;
    m_free.reset();
}

bool CComPortMap::IsPinned(int nCom) const {
    std::lock_guard lock(m_mutex);
    return m_pins.count(nCom) != 0;
}

void CComPortMap::Unpin(int nCom) {
    std::lock_guard lock(m_mutex);
    if (m_pins.erase(nCom) != 0) m_free.reset();
}

void CComPortMap::ClearPins() {
    std::lock_guard lock(m_mutex);
    m_pins.clear();
    m_free.reset();
}

void CComPortMap::SetEnumerate(bool bEnumerate) {
    std::lock_guard lock(m_mutex);
    m_bEnumerate = bEnumerate;
    m_free.reset();
}

int CComPortMap::ApplyPins(const std::vector<std::pair<std::string, std::string>>& section) {
    int nPins = 0;
    for (const auto& [strKey, strRaw] : section) {
        // Hand-edited files put the value on a line of its own.
        const std::string strValue = Trim(strRaw);
        if (strKey == "Enumerate") {
            SetEnumerate(strValue != "0");
            continue;
        }
        const int nCom = ParsePortKey(strKey);
        if (nCom != 0 && !strValue.empty()) {
            Pin(nCom, strValue);
            ++nPins;
        }
    }
    return nPins;
}

void CComPortMap::Rebuild() {
    std::lock_guard lock(m_mutex);
    m_free.reset();
}

void CComPortMap::SetRoots(const SPortRoots& roots) {
    std::lock_guard lock(m_mutex);
    m_roots = roots;
    m_free.reset();
}

SPortRoots CComPortMap::Roots() const {
    std::lock_guard lock(m_mutex);
    return m_roots;
}

std::vector<std::string> CComPortMap::EnumerateDevices() const {
    return Enumerate(Roots());
}

bool CComPortMap::IsConsole(const std::string& strDevice) const {
    return ConsoleDevices(Roots()).count(Canonical(strDevice)) != 0;
}

const std::vector<std::string>& CComPortMap::FreeDevicesLocked() const {
    if (m_free) return *m_free;
    // A number beyond the listed ones (a job's own for its device) must not shift the rest.
    std::set<std::string> pinned;
    for (const auto& [n, strPath] : m_pins) {
        if (n >= 1 && n <= kLastListedCom) pinned.insert(Canonical(strPath));
    }
    const auto stable = StableNames(m_roots);
    std::vector<std::string> free;
    for (const auto& strPath : Enumerate(m_roots)) {
        const std::string strCanonical = Canonical(strPath);
        if (pinned.count(strCanonical)) continue;
        const auto it = stable.find(strCanonical);
        free.push_back(it != stable.end() ? it->second : strPath);
    }
    return m_free.emplace(std::move(free));
}

std::string CComPortMap::DeviceFor(int nCom) const {
    std::string strPinned;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_pins.find(nCom); it != m_pins.end()) {
            strPinned = it->second;
        } else {
            if (!m_bEnumerate || nCom < 1) return {};
            // Unpinned numbers take the free devices in order: COMn gets the k-th, k counting
            // the unpinned numbers below n.
            const auto nBelow = static_cast<size_t>(
                std::count_if(m_pins.begin(), m_pins.end(),
                              [nCom](const auto& p) { return p.first >= 1 && p.first < nCom; }));
            const size_t nIndex = static_cast<size_t>(nCom - 1) - nBelow;
            const auto& free = FreeDevicesLocked();
            return nIndex < free.size() ? free[nIndex] : std::string();
        }
    }
    // Not even a pin makes the console a port to flash through.
    return IsConsole(strPinned) ? std::string() : strPinned;
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
