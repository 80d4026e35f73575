#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Board.h"
#include "JobLoop.h"
#include "JobRecord.h"

class CFlashJob;

struct StationSlot {
    std::string strName;
    std::string strPort;  // as named: a /dev/serial/by-path link is best, it names the socket
};

// A station file: one slot a line, its name and its port separated by blanks; blank lines and
// lines starting with "#" are skipped. Empty on success, else "FILE:LINE: problem".
std::string ReadStationFile(const std::string& strPath, std::vector<StationSlot>& aSlots);

struct StationCounts {
    std::map<std::string, JobCounters> perSlot;
    JobCounters total;
};
// What the log holds of this station and lot (no lot matches records without one).
StationCounts CountStationJobs(const std::vector<JobRecord>& aRecords,
                               const std::string& strStation, const std::string& strLot);

struct StationOptions {
    std::string strFile;
    std::vector<StationSlot> aSlots;
    int nWaitSeconds = 60;
    bool bWatch = false;   // run whenever a slot's port appears, until interrupted
    int nCount = 0;        // with bWatch: start no more than this many jobs; 0 = no limit
    int nMaxFailures = 0;  // stop after this many failed jobs in a row; 0 = never
    std::string strStation;
    std::string strLot;      // "" = none
    std::string strLogPath;  // the job log
    bool bJson = false;
    bool bQuiet = false;
};

// Several slots, each with its own job (channel, image, engine) at a time. Each job runs in a
// loop on a thread of its own, so that the pauses of opening and closing a port, or a slot
// that fails or loses its port, never hold up the others; the station's own loop watches the
// ports, takes the signals and draws the board.
class CStation {
public:
    explicit CStation(StationOptions options);
    ~CStation();
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Runs when a slot's job has been made, before it begins (a simulation's hooks).
    void SetJobHook(std::function<void(size_t nSlot, CFlashJob& job)> fn) {
        m_fnJobHook = std::move(fn);
    }
    // The exit code: 0 when every job succeeded, 9 when one did not or the station stopped
    // after failures, 130 when interrupted.
    int Run();

private:
    struct Slot;
    using Clock = std::chrono::steady_clock;

    bool AfterWake();
    void StartJob(size_t nSlot, const std::string& strDevice, const std::string& strProblem);
    // On the slot's thread.
    void OnJobEnd(Slot& slot, const CFlashJob& job);
    void Wake();
    void ArmWatches();
    void Say(const Slot& slot, const std::string& strText);
    void Draw(bool bForce);
    void EmitStart();
    void EmitEnd(int nCode);

    StationOptions m_options;
    std::mutex m_mutex;  // the slots' views, counters and output, against the slots' threads
    std::vector<std::unique_ptr<Slot>> m_aSlots;
    std::vector<SlotView> m_aViews;  // the board's copy
    JobCounters m_total;
    CJobLoop m_loop;
    std::function<void(size_t, CFlashJob&)> m_fnJobHook;
    std::unique_ptr<CBoard> m_pBoard;
    bool m_bColor = false;
    int m_nInotify = -1;
    int m_nTimer = -1;
    int m_nWake = -1;       // a slot's thread has news
    bool m_bLook = true;    // look for ports at the next wake-up
    bool m_bDirty = false;  // the board shows something that has changed
    Clock::time_point m_nextLook{};
    int m_nStarted = 0;
    int m_nFailedInRow = 0;
    bool m_bAnyFailed = false;
    bool m_bAnyInterrupted = false;
    std::string m_strStopped;  // why no more jobs start; "" while they may
};
