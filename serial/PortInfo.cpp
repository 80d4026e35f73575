#include "PortInfo.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "PortIo.h"
#include "PortMap.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxUsbDepth = 8;  // tty -> interface -> USB device, with room for hubs' ports

std::string ReadLine(const fs::path& path) {
    std::ifstream in(path);
    std::string strLine;
    std::getline(in, strLine);
    return strLine;
}

std::string Canonical(const fs::path& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? path.string() : real.string();
}

// The first link in dir (in name order) that leads to strCanonical.
std::string LinkTo(const fs::path& dir, const std::string& strCanonical) {
    std::string strFound;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string strLink = entry.path().string();
        if (Canonical(strLink) == strCanonical && (strFound.empty() || strLink < strFound))
            strFound = strLink;
    }
    return strFound;
}

void ReadSysfs(const fs::path& sysTty, SPortInfo& rInfo) {
    std::error_code ec;
    const fs::path device = fs::canonical(sysTty / "device", ec);
    if (ec) return;
    rInfo.strDriver = fs::canonical(device / "driver", ec).filename().string();
    if (ec) rInfo.strDriver.clear();
    // The USB device is the nearest ancestor that names a vendor.
    fs::path dir = device;
    for (int n = 0; n < kMaxUsbDepth && dir.has_relative_path(); ++n, dir = dir.parent_path()) {
        const std::string strVendor = ReadLine(dir / "idVendor");
        if (strVendor.empty()) continue;
        rInfo.strVidPid = strVendor + ":" + ReadLine(dir / "idProduct");
        rInfo.strSerial = ReadLine(dir / "serial");
        return;
    }
}

void Describe(const SPortRoots& roots, SPortInfo& rInfo) {
    rInfo.strTty = Canonical(rInfo.strDevice);
    rInfo.strById = LinkTo(fs::path(roots.strDev) / "serial/by-id", rInfo.strTty);
    rInfo.strByPath = LinkTo(fs::path(roots.strDev) / "serial/by-path", rInfo.strTty);
    ReadSysfs(fs::path(roots.strSysTty) / fs::path(rInfo.strTty).filename(), rInfo);
}

}  // namespace

SPortInfo DescribePort(const std::string& strDevice) {
    SPortInfo info;
    info.strDevice = strDevice;
    Describe(CComPortMap::Instance().Roots(), info);
    return info;
}

std::vector<SPortInfo> ListPorts(bool bCheckHeld) {
    CComPortMap& map = CComPortMap::Instance();
    map.Rebuild();
    const SPortRoots roots = map.Roots();
    std::vector<SPortInfo> ports;
    for (int nCom = 1; nCom <= 16; ++nCom) {
        SPortInfo info;
        info.strDevice = map.DeviceFor(nCom);
        if (info.strDevice.empty()) continue;
        info.nCom = nCom;
        Describe(roots, info);
        if (bCheckHeld) info.bHeld = IsPortHeld(info.strDevice, &info.strHeldWhy);
        ports.push_back(std::move(info));
    }
    return ports;
}

bool IsPortHeld(const std::string& strDevice, std::string* pReason) {
    std::string strReason;
    portio::CPortClaim claim;
    const bool bFree = claim.Claim(strDevice, CComPortMap::Instance().Roots(), &strReason);
    const bool bHeld = !bFree && errno == EBUSY;
    if (pReason != nullptr) *pReason = bHeld ? strReason : std::string();
    return bHeld;
}
