#pragma once

#include <string>

// Reads the optional section "Ports" of the profile, read-only: keys "COM1".."COM16" pin
// that port to the device path in their value; key "Enumerate" with value 0 hides every
// port that is not pinned. Returns the number of pins taken.
int LoadPortPins(const std::string& strFile);
