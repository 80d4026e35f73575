#pragma once

#include <string>

// What this process holds right now, from /proc/self.
struct ProcessUsage {
    int nFds = 0;      // open file descriptors
    int nThreads = 0;  // threads
    long nRssKiB = 0;  // resident memory
};

ProcessUsage ReadProcessUsage();
std::string ToString(const ProcessUsage& usage);
