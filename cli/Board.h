#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// Counts of finished jobs. An interrupted job counts as neither: its unit comes back.
struct JobCounters {
    int nPass = 0;
    int nFail = 0;
    void Count(int nExitCode);
    // Passed share of the counted jobs; < 0 when none was counted.
    double Yield() const;
};

enum class SlotPhase { WaitingForBoard, Starting, WaitingForReset, Sending, TakeOff, Finished };

// What the operator sees of one slot.
struct SlotView {
    std::string strName;
    std::string strPort;  // as named
    SlotPhase ePhase = SlotPhase::WaitingForBoard;
    int nLine = 0;
    int nLines = 0;
    int nResends = 0;
    int nCode = -1;  // of the last job; -1: none ended yet
    std::string strMessage;
    int nJobs = 0;  // in this run
    JobCounters counters;
};

// The live board on a terminal: one row per slot and a counter row, redrawn in place.
class CBoard {
public:
    CBoard(std::FILE* pOut, bool bColor) : m_pOut(pOut), m_bColor(bColor) {}
    // At most every 100 ms unless bForce.
    void Draw(const std::vector<SlotView>& aSlots, const JobCounters& total, bool bForce);

private:
    std::string Row(const SlotView& slot, size_t nNameWidth, size_t nPortWidth) const;

    std::FILE* m_pOut;
    bool m_bColor;
    int m_nRows = 0;  // drawn last time, to go back over
    std::chrono::steady_clock::time_point m_lastDraw{};
};

// The table at the end, one row per slot and the total.
void PrintSummary(std::FILE* pOut, const std::vector<SlotView>& aSlots, const JobCounters& total);

// "12 pass, 1 fail, yield 92.3 %".
std::string CountersText(const JobCounters& counters);

// A stream that writes each line it is given to pTo, with strPrefix in front; nullptr when
// the system refuses. Close with fclose.
std::FILE* OpenPrefixedStream(std::FILE* pTo, std::string strPrefix);
