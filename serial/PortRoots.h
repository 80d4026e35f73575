#pragma once

#include <string>

// Where the port code looks at the system; tests point these at fake trees.
struct SPortRoots {
    std::string strDev = "/dev";               // device nodes, serial/by-id, serial/by-path
    std::string strSysTty = "/sys/class/tty";  // tty entries, console/active
    std::string strProc = "/proc";             // other processes' open files
    std::string strLock = "/run/lock";         // UUCP lock files (LCK..<name>)
};
