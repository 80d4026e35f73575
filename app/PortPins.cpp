#include "PortPins.h"

#include "PortMap.h"
#include "XmlProfile.h"

int LoadPortPins(const std::string& strFile) {
    // Never saved: the settings file stays as the window's own reads and writes leave it.
    const CXmlProfile profile(strFile);
    return CComPortMap::Instance().ApplyPins(profile.ReadSection("Ports"));
}
