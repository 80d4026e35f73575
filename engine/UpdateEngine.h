#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "HexImage.h"
#include "UpdateHost.h"

enum EngineState : int32_t {
    Idle = -1,
    WaitGreeting = 0,
    SendEntry = 1,
    WaitReady = 2,
    Transfer = 3,
    Finished = 4,
};

// Drives a target's bootloader through one update. Passive: fed bytes, ticks and Start
// by its owner on one thread, acting only through CUpdateHost.
//
// Invariant: "Update successful" is reported only when every line of the file up to its
// end-of-file record that the target has anything to do with has been answered "~" for its
// latest write, in the address segment the file puts it in. Otherwise the engine resends, or
// ends with one of its failure texts. It holds by construction:
// - Replies are counted against the lines written; the transfer moves on only once every
//   line written has been answered, and an error rewinds from the earliest unanswered one.
// - Before a resend, and before an extended address record or the end-of-file record goes
//   out, the engine waits until the line has been quiet for a few ticks, discarding what
//   arrives. Replies beyond those still due show that the counting slipped (a stray,
//   duplicated or late reply): the resend then starts from the last line known to be in
//   step. A refusal arriving when nothing is due is treated the same way.
// - Address records and the end-of-file record therefore go out only when every line
//   before them is answered, and the line after an address record only once its answer has
//   been followed by quiet; a rewind never reaches behind the address record last written,
//   and "@" counts only once the end-of-file record has gone out that way.
// The one reply sequence no engine can see through is a refusal lost exactly where a stray
// "~" stands in for it.
//
// Lines that carry nothing for the target (empty, or not beginning with ":") are never
// written or waited on; they still count in the line numbers and the progress.
class CUpdateEngine {
public:
    CUpdateEngine(CHexImage& image, CUpdateHost& host);

    void Start(int nComNumber);
    void OnReceivedByte(uint8_t ch);
    // A tick of either timer: one step, then time passes for the quiet wait and, on a
    // one-second tick, for the countdown.
    void OnTimer(bool bSecondTick);
    // One step and nothing else, for the owner to call right after handing over received
    // bytes so that a reply is acted on at once. Countdowns and quiet waits advance only
    // through OnTimer, so every wait keeps its length.
    void StepNow() { Step(); }
    bool IsBusy() const { return m_bBusy; }

    // Start values the window gives at initialisation (countdown 1, idle, nothing received).
    void InitStartValues();

    // Read-only views for the owner (the fast timer may rest while nothing can happen) and tests.
    int32_t GetState() const { return m_nState; }
    int32_t GetCountdown() const { return m_nCountdown; }
    int32_t GetLine() const { return m_nLine; }
    uint8_t GetErrorCount() const { return m_nErrorCount; }
    // True while waiting for the line to fall quiet before a resend or a boundary record.
    bool IsSettling() const { return m_bSettling; }
    // Each byte value at most once: only presence is ever asked for.
    const std::string& GetReceived() const { return m_strReceived; }

    // Ticks without a received byte that count as quiet, and the longest wait for it.
    static constexpr int32_t kQuietTicks = 20;
    static constexpr int32_t kMaxSettleTicks = 1000;

private:
    enum class Settle { Resend, Boundary };

    void Step();
    void StepWaitGreeting();
    void StepSendEntry();
    void StepWaitReady();
    void StepTransfer();
    void StepSettling();
    void BeginSettling(Settle eReason);
    void MoveOn();
    void InStepUpTo(int32_t nLine);
    void SendCurrent(const char* szFormat);
    void SendLine();
    bool SendPageLine();
    void RewindPage(int32_t nFrom);
    void ResendPage(int32_t nFrom);
    void CountError();
    bool CountErrorOrEnd(const char* szFinal);  // false when this was the third error
    void End(const char* szText);
    bool Contains(uint8_t ch) const;
    bool ContainsGreeting() const;
    void WriteEntry();
    void WriteLine(int32_t nLine);
    bool IsWritable(int32_t nLine) const;
    int32_t NextWritable(int32_t nLine) const;
    uint8_t PageOf(int32_t nLine) const;

    CHexImage& m_image;
    CUpdateHost& m_host;

    int32_t m_nState = Idle;
    int32_t m_nCountdown = 0;
    int32_t m_nLine = 0;
    uint16_t m_nPage = 0;
    uint16_t m_nPrevPage = 0;
    uint8_t m_nErrorCount = 0;
    bool m_bBusy = false;
    std::string m_strReceived;
    std::array<uint8_t, 3> m_abEntry{{'^', ';', ']'}};

    // Replies ("~", "-", "%") still due for lines written, and the first line written since
    // the transfer last moved on.
    int32_t m_nOutstanding = 0;
    int32_t m_nUnitFirst = 0;
    // Every writable line before this one is known to be answered "~".
    int32_t m_nInStep = 0;
    // Address record last written and the one known to be taken (-1: none), and whether the
    // end-of-file record went out with every line before it answered.
    int32_t m_nSegment = -1;
    int32_t m_nSegmentTaken = -1;
    bool m_bBaseMoved = false;  // an address record other than for base 0 has been written
    bool m_bEndWritten = false;
    // The quiet wait: why, ticks in all and since the last byte, replies beyond those due.
    bool m_bSettling = false;
    Settle m_eSettle = Settle::Resend;
    int32_t m_nSettleTicks = 0;
    int32_t m_nQuietTicks = 0;
    int32_t m_nExtraReplies = 0;
};
