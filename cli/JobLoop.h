#pragma once

#include <functional>
#include <vector>

class CFlashJob;

// Drives any number of jobs on the calling thread: wakes on received bytes (each job's
// eventfd), on a one-second tick, on a 1 ms tick only while a job needs one, and on SIGINT or
// SIGTERM, which interrupts every job. Sleeps in poll otherwise.
class CJobLoop {
public:
    // bSignals false: a loop of its own thread, which leaves SIGINT and SIGTERM to another.
    explicit CJobLoop(bool bSignals = true);
    ~CJobLoop();
    CJobLoop(const CJobLoop&) = delete;
    CJobLoop& operator=(const CJobLoop&) = delete;

    void Add(CFlashJob& job) { m_aJobs.push_back(&job); }
    // Also wakes when nFd becomes readable, then runs fn on the loop's thread.
    void Watch(int nFd, std::function<void()> fn) { m_aWatches.push_back({nFd, std::move(fn)}); }
    // Runs at the start and after every wake-up; while it returns true Run goes on even with
    // every job done (until a signal).
    void SetAfterWake(std::function<bool()> fn) { m_fnAfterWake = std::move(fn); }
    // Until every job is done. Returns the signal that interrupted them, or 0.
    int Run();
    int Signal() const { return m_nSignal; }

private:
    struct SWatch {
        int nFd;
        std::function<void()> fn;
    };
    std::vector<CFlashJob*> m_aJobs;
    std::vector<SWatch> m_aWatches;
    std::function<bool()> m_fnAfterWake;
    bool m_bSignals;
    int m_nSignal = 0;
};
