#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "PortIo.h"

class CWinCom;

// State one Open shares with its receive thread. A thread that outlives Close keeps its own
// session, so it can neither read a later Open's port nor take its run flag; the port is
// closed when the last holder lets go.
struct ReceiveSession {
    ReceiveSession(portio::CPortClaim&& port, int nWake)
        : claim(std::move(port)), nFd(claim.Fd()), nWakeFd(nWake) {}
    ~ReceiveSession();
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    // Wakes the thread out of poll or a rest; the run flag must already be cleared.
    void Wake();
    // Called by the thread as its last act.
    void MarkEnded();
    bool WaitEnded(std::chrono::milliseconds timeout);

    portio::CPortClaim claim;
    const int nFd;
    const int nWakeFd;
    std::atomic<bool> bRun{true};

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bEnded = false;
};

// Body of the receive thread of channel rCom.
void ReceiveThread(ReceiveSession& s, CWinCom& rCom);
