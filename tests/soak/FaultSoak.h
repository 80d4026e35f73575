#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "SimTarget.h"
#include "UpdateRig.h"

// Faults injected over a soak, by kind.
struct SoakFaultCounts {
    int nChecksum = 0;     // good records answered "-"
    int nPage = 0;         // good records answered "%"
    int nStray = 0;        // stray bytes before a reply
    int nLost = 0;         // replies never sent
    int nVanished = 0;     // far end gone mid-transfer, back, and Start pressed
    int nPortChanges = 0;  // Close, then Open at 9600, as the window's port list does
    int nRestarts = 0;     // Start pressed again during a transfer
};

struct SoakTally {
    int nUpdates = 0;  // every Start of an update, new Starts after failures included
    int nSucceeded = 0;
    int nFailed = 0;  // ended in a failure text, as enough faults make it
    SoakFaultCounts faults;
    std::vector<std::string> aProblems;  // what must never happen
    std::string Summary() const;
};

// Consecutive complete updates through the engine, the serial channel and a simulated target
// on a pseudo-terminal, with faults planned from a seed.
class CFaultSoak {
public:
    CFaultSoak(uint32_t nSeed, const std::string& strLink);
    ~CFaultSoak();
    CFaultSoak(const CFaultSoak&) = delete;
    CFaultSoak& operator=(const CFaultSoak&) = delete;

    bool Started() const { return m_bStarted; }
    // Update nIndex of the run with its planned faults; after a failure, a new Start on a quiet
    // line, which must succeed.
    void RunUpdate(int nIndex);
    const SoakTally& Tally() const { return m_tally; }

private:
    using Clock = std::chrono::steady_clock;
    enum class MidFault { None, Restart, Vanish, LostReply, PortChange };
    enum class Stage { Waiting, Vanished, LosingReply, Done };
    struct Plan {
        int nDataLines = 0;
        uint32_t nFileSeed = 0;
        BootloaderFaults faults;
        bool bPortChangeBefore = false;
        MidFault eMid = MidFault::None;
        int nAtAccepted = 0;  // records accepted in this update before the mid-transfer fault
    };

    Plan MakePlan(int nIndex);
    int Draw(int nBelow) { return static_cast<int>(m_random() % static_cast<uint32_t>(nBelow)); }
    bool Attempt(const std::vector<std::string>& aLines, const std::string& strWhat);
    void OnTick();
    void Inject();
    void ChangePort();
    void Problem(const std::string& strText);

    std::mt19937 m_random;
    CSimTarget m_target;
    CUpdateRig m_rig;  // after the target: its channel closes first
    bool m_bStarted = false;
    Plan m_plan;
    Stage m_eStage = Stage::Done;
    int m_nAcceptedBase = 0;
    int m_nLostBase = 0;
    Clock::time_point m_since;
    SoakTally m_tally;
};
