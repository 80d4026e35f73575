#pragma once

#include <map>
#include <mutex>
#include <string>

// Maps the names the tool shows and stores (COM1..COM16) to Linux devices.
// Pinned numbers take any device path; the rest go, in order, to the serial devices present.
class CComPortMap {
public:
    static CComPortMap& Instance();

    void Pin(int nCom, const std::string& strDevice);
    void ClearPins();
    // Off: only pinned numbers resolve (tests, and the bundled simulator run).
    void SetEnumerate(bool bEnumerate);

    // "COM3" -> device path; an absolute path is returned unchanged; "" when nothing maps.
    std::string Resolve(const std::string& strName) const;
    // Device behind COMn, "" when none.
    std::string DeviceFor(int nCom) const;

private:
    mutable std::mutex m_mutex;
    std::map<int, std::string> m_pins;
    bool m_bEnumerate = true;
};
