#include "PortPins.h"

#include <charconv>

#include "PortMap.h"
#include "XmlProfile.h"

namespace {

// "COM7" -> 7; 0 for anything else, numbers beyond the probed range included.
int ParsePortKey(const std::string& strKey) {
    if (strKey.size() < 4 || strKey.compare(0, 3, "COM") != 0) return 0;
    int nCom = 0;
    const char* pEnd = strKey.data() + strKey.size();
    const auto result = std::from_chars(strKey.data() + 3, pEnd, nCom);
    if (result.ec != std::errc() || result.ptr != pEnd || nCom < 1 || nCom > 16) return 0;
    return nCom;
}

}  // namespace

int LoadPortPins(const std::string& strFile) {
    CComPortMap& map = CComPortMap::Instance();
    int nPins = 0;
    // Never saved: the settings file stays as the window's own reads and writes leave it.
    const CXmlProfile profile(strFile);
    for (const auto& [strKey, strValue] : profile.ReadSection("Ports")) {
        if (strKey == "Enumerate") {
            map.SetEnumerate(strValue != "0");
            continue;
        }
        const int nCom = ParsePortKey(strKey);
        if (nCom != 0 && !strValue.empty()) {
            map.Pin(nCom, strValue);
            ++nPins;
        }
    }
    return nPins;
}
