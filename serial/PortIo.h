#pragma once

#include <termios.h>

#include <chrono>
#include <string>

#include "ModeString.h"
#include "PortRoots.h"

// Linux counterparts of the port calls the channel makes.
namespace portio {

// A device this process has made sure is its own, given back as it was found.
class CPortClaim {
public:
    CPortClaim() = default;
    ~CPortClaim() { Release(); }
    CPortClaim(CPortClaim&& other) noexcept;
    CPortClaim& operator=(CPortClaim&& other) noexcept;
    CPortClaim(const CPortClaim&) = delete;
    CPortClaim& operator=(const CPortClaim&) = delete;

    // Opens the device non-blocking, without becoming its controlling tty, and takes it only
    // when no other program holds it: not opened exclusively (TIOCEXCL, which root's open
    // ignores), not flock'ed, no UUCP lock file of a live process, not open in another
    // process (where /proc shows it). Then marks it ours: TIOCEXCL, flock, lock file (where
    // the lock directory is writable). False with errno set; EBUSY, and how in *pReason,
    // when another program holds it. Nothing is written to the device before it is ours.
    bool Claim(const std::string& strDevice, const SPortRoots& roots,
               std::string* pReason = nullptr);
    int Fd() const { return m_nFd; }
    // Asks the driver to hand over each byte at once; Release puts the old flag back.
    void RequestLowLatency();
    // Undoes only what Claim and RequestLowLatency did, then closes.
    void Release();

private:
    int m_nFd = -1;
    bool m_bExclusiveSet = false;
    bool m_bLowLatencySet = false;
    std::string m_strLockFile;
};

// Test-only: where set, the claim's driver flags (TIOCGSERIAL/TIOCSSERIAL, which a
// pseudo-terminal does not have) are read from and written to here.
struct TestHooks {
    static inline int* pSerialFlags = nullptr;
};

// Bytes the driver still holds for sending, and dropping them.
class COutputQueue {
public:
    virtual ~COutputQueue() = default;
    // -1 when the driver cannot tell.
    virtual int Queued() = 0;
    virtual void Discard() = 0;
    virtual void Pause(std::chrono::microseconds d) = 0;
    virtual std::chrono::steady_clock::time_point Now() = 0;
};

// Waits until rQueue is empty or the deadline passes, checking about when the queued bytes
// should have gone (nByteMicros each); at the deadline what is left is discarded. True when
// the queue emptied (or cannot be read).
bool DrainOrDiscard(COutputQueue& rQueue, std::chrono::steady_clock::time_point deadline,
                    long nByteMicros);

// The output queue of a tty (TIOCOUTQ, TCOFLUSH).
class CTtyOutputQueue : public COutputQueue {
public:
    explicit CTtyOutputQueue(int nFd) : m_nFd(nFd) {}
    int Queued() override;
    void Discard() override;
    void Pause(std::chrono::microseconds d) override;
    std::chrono::steady_clock::time_point Now() override;

private:
    int m_nFd;
};

// Raw 8-bit line with the given speed, parity, data and stop bits, receiver on, modem
// status ignored; flow control is left to the caller.
void MakeLine(termios& rTio, const LineSettings& ls);

// TIOCMBIS/TIOCMBIC on TIOCM_DTR / TIOCM_RTS; a driver without modem lines is ignored.
unsigned long ModemRequest(int nOn);
void SetModemLine(int nFd, int nLine, int nOn);

// Sum of the frame, parity, overrun and break counters; false when the driver keeps none.
bool ReadLineErrorCount(int nFd, long long& rCount);

}  // namespace portio
