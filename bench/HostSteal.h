#pragma once

#include <unistd.h>

#include <fstream>
#include <string>

// Milliseconds of CPU time the hypervisor has given to others while this machine's CPUs
// wanted to run, summed over all CPUs (the "steal" column of /proc/stat); 0 where not kept.
// A run whose steal grew by more than a few milliseconds was slowed by the host, not the tool.
inline double HostStealMs() {
    std::ifstream stat("/proc/stat");
    std::string strCpu;
    unsigned long long anTicks[8] = {};
    if (!(stat >> strCpu) || strCpu != "cpu") return 0;
    for (unsigned long long& n : anTicks) {
        if (!(stat >> n)) return 0;
    }
    return static_cast<double>(anTicks[7]) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
