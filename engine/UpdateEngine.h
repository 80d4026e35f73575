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
// After an error reply or a timeout it rewinds to the preceding page boundary and writes the
// lines from there back to back. It moves on to a new line only once every line written has
// been answered, so an error on any of them still rewinds far enough, and then sends the line
// after the last one written. A rewind never resends a line of an earlier address segment,
// and the end-of-file record never goes out in such a burst.
class CUpdateEngine {
public:
    CUpdateEngine(CHexImage& image, CUpdateHost& host);

    void Start(int nComNumber);
    void OnReceivedByte(uint8_t ch);
    void OnTimer(bool bSecondTick);
    bool IsBusy() const { return m_bBusy; }

    // Start values the window gives at initialisation (countdown 1, idle, nothing received).
    void InitStartValues();

    // Read-only views for the owner (the fast timer may rest while nothing can happen) and tests.
    int32_t GetState() const { return m_nState; }
    int32_t GetCountdown() const { return m_nCountdown; }
    int32_t GetLine() const { return m_nLine; }
    uint8_t GetErrorCount() const { return m_nErrorCount; }
    // Each byte value at most once: only presence is ever asked for.
    const std::string& GetReceived() const { return m_strReceived; }

private:
    void Step();
    void StepWaitGreeting();
    void StepSendEntry();
    void StepWaitReady();
    void StepTransfer();
    void SendLine();
    bool SendPageLine();
    void RewindPage();
    void ResendPage();
    void CountError();
    bool CountErrorAndResend();  // false when this was the third error
    bool Contains(uint8_t ch) const;
    bool ContainsGreeting() const;
    void WriteEntry();
    void WriteLine(int32_t nLine);
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
    // Replies ("~", "-", "%") still due for lines written, and the earliest line among the
    // writes made since the transfer last moved on to a new line.
    int32_t m_nOutstanding = 0;
    int32_t m_nUnitFirst = 0;
};
