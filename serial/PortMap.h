#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "PortRoots.h"

// Maps the names the tool shows and stores (COM1..COM16) to Linux devices.
// Pinned numbers take any device path; the rest go, in order, to the serial devices present
// when the list was last built, so a number keeps its device for the whole run. A pin beyond
// COM16 (a job's own number) leaves its device the number it has below.
class CComPortMap {
public:
    static CComPortMap& Instance();

    // Changing pins, enumeration or roots rebuilds the list at its next use.
    void Pin(int nCom, const std::string& strDevice);
    void Unpin(int nCom);
    void ClearPins();
    // Off: only pinned numbers resolve (tests, and the bundled simulator run).
    void SetEnumerate(bool bEnumerate);
    // Takes a settings section: keys "COM1".."COM16" pin their (trimmed) value, "Enumerate"
    // with value 0 turns enumeration off. Returns the number of pins taken.
    int ApplyPins(const std::vector<std::pair<std::string, std::string>>& section);

    // "COM3" -> device path; an absolute path is returned unchanged; "" when nothing maps.
    std::string Resolve(const std::string& strName) const;
    // Device behind COMn, "" when none. Where a /dev/serial/by-id (else by-path) link names
    // the device, that link: a device that has gone then fails to open, and another device
    // that took its tty name is never reached through the old number.
    std::string DeviceFor(int nCom) const;
    // Takes a fresh look at the devices present; until then numbers keep their devices.
    void Rebuild();
    // Pinned numbers keep their device path; the others follow the order devices are found in.
    bool IsPinned(int nCom) const;

    void SetRoots(const SPortRoots& roots);
    SPortRoots Roots() const;
    // Serial devices present now, in the order unpinned numbers take them (pinned ones
    // included); never the kernel console nor Bluetooth rfcomm ttys.
    std::vector<std::string> EnumerateDevices() const;
    // True for a tty that /sys/class/tty/console/active names.
    bool IsConsole(const std::string& strDevice) const;

private:
    const std::vector<std::string>& FreeDevicesLocked() const;

    mutable std::mutex m_mutex;
    std::map<int, std::string> m_pins;
    bool m_bEnumerate = true;
    SPortRoots m_roots;
    // Unpinned devices, in COM order, as they were when the list was built.
    mutable std::optional<std::vector<std::string>> m_free;
};
