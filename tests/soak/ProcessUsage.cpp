#include "ProcessUsage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

// The directory's own descriptor, open while it is listed, counts for every reading alike.
int CountEntries(const char* szDir) {
    int n = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(szDir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

}  // namespace

ProcessUsage ReadProcessUsage() {
    ProcessUsage usage;
    usage.nFds = CountEntries("/proc/self/fd");
    usage.nThreads = CountEntries("/proc/self/task");
    long nSize = 0, nResident = 0;
    std::ifstream("/proc/self/statm") >> nSize >> nResident;
    usage.nRssKiB = nResident * (::sysconf(_SC_PAGESIZE) / 1024);
    return usage;
}

std::string ToString(const ProcessUsage& usage) {
    return std::to_string(usage.nFds) + " fds, " + std::to_string(usage.nThreads) + " threads, " +
           std::to_string(usage.nRssKiB) + " KiB resident";
}
