#pragma once

#include <vector>

class CFlashJob;

// Drives any number of jobs on the calling thread: wakes on received bytes (each job's
// eventfd), on a one-second tick, on a 1 ms tick only while a job needs one, and on SIGINT or
// SIGTERM, which interrupts every job. Sleeps in poll otherwise.
class CJobLoop {
public:
    CJobLoop();
    ~CJobLoop();
    CJobLoop(const CJobLoop&) = delete;
    CJobLoop& operator=(const CJobLoop&) = delete;

    void Add(CFlashJob& job) { m_aJobs.push_back(&job); }
    // Until every job is done. Returns the signal that interrupted them, or 0.
    int Run();

private:
    std::vector<CFlashJob*> m_aJobs;
};
