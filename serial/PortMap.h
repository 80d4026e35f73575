#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

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

    // Where enumeration looks for devices ("/dev") and their sysfs entries ("/sys/class/tty");
    // tests point these at a fake tree.
    void SetRoots(const std::string& strDevRoot, const std::string& strSysTtyRoot);
    // Serial devices present, in the order unpinned numbers take them (pinned ones included).
    std::vector<std::string> EnumerateDevices() const;

private:
    mutable std::mutex m_mutex;
    std::map<int, std::string> m_pins;
    bool m_bEnumerate = true;
    std::string m_strDevRoot = "/dev";
    std::string m_strSysTtyRoot = "/sys/class/tty";
};
