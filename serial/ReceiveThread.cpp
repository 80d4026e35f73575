#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "PortIo.h"
#include "ReceiveSession.h"
#include "Trace.h"
#include "WinCom.h"

namespace {

constexpr uint32_t kReadChunk = 1024;
// Between passes over a port that keeps failing (far end gone, driver errors).
constexpr int kRestMs = 40;

// Run flag of the session the current receive thread serves; OnReceive hands it to the target.
thread_local const std::atomic<bool>* t_pRun = nullptr;
const std::atomic<bool> g_bAlwaysRun{true};

// Sleeps, but wakes at once when Close signals.
void Rest(const ReceiveSession& s) {
    pollfd fd{s.nWakeFd, POLLIN, 0};
    ::poll(&fd, 1, kRestMs);
}

}  // namespace

ReceiveSession::~ReceiveSession() {
    claim.Release();
    if (nWakeFd >= 0) ::close(nWakeFd);
}

void ReceiveSession::Wake() {
    const uint64_t nOne = 1;
    [[maybe_unused]] ssize_t n = ::write(nWakeFd, &nOne, sizeof nOne);
}

void ReceiveSession::MarkEnded() {
    std::lock_guard lock(m_mutex);
    m_bEnded = true;
    m_cv.notify_all();
}

bool ReceiveSession::WaitEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_bEnded; });
}

void ReceiveThread(ReceiveSession& s, CWinCom& rCom) {
    t_pRun = &s.bRun;
    uint8_t abBuffer[kReadChunk];
    long long nErrors = 0;
    const bool bCounters = portio::ReadLineErrorCount(s.nFd, nErrors);

    while (s.bRun) {
        pollfd fds[2] = {{s.nFd, POLLIN, 0}, {s.nWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            serialtrace::Error("CWinCom::ReceiveThread()::WaitCommEvent(); \r\n", errno);
            Rest(s);
            continue;
        }
        if (!s.bRun) break;
        if (!(fds[0].revents & POLLIN)) {
            // Hang-up or error without data: the port is gone until reopened.
            if (fds[0].revents != 0) Rest(s);
            continue;
        }
        if (bCounters) {
            long long nNow = nErrors;
            portio::ReadLineErrorCount(s.nFd, nNow);
            if (nNow != nErrors) {
                // A line error at this pass: the queued bytes are read at the next one.
                nErrors = nNow;
                continue;
            }
        }
        int nQueued = 0;
        if (::ioctl(s.nFd, FIONREAD, &nQueued) != 0) {
            serialtrace::Error("CWinCom::ReceiveThread()::ClearComError(); \r\n", errno);
        }
        if (nQueued <= 0) {
            // Readable with nothing queued: end of file from a vanished far end.
            Rest(s);
            continue;
        }
        uint32_t nLeft = static_cast<uint32_t>(nQueued);
        while (nLeft > 0) {
            const ssize_t nGot = ::read(s.nFd, abBuffer, std::min(nLeft, kReadChunk));
            if (nGot <= 0) {
                if (nGot < 0 && errno == EINTR) continue;
                if (nGot < 0 && errno != EAGAIN) {
                    serialtrace::Error("ReceiveThread():ReadFile() \r\n", errno);
                }
                Rest(s);
                break;
            }
            if (!s.bRun) break;
            rCom.OnReceive(abBuffer, static_cast<uint32_t>(nGot));
            nLeft -= static_cast<uint32_t>(nGot);
        }
    }
    t_pRun = nullptr;
    s.MarkEnded();
}

void CWinCom::OnReceive(const uint8_t* pBytes, uint32_t nCount) {
    if (m_nMsgId == 0 || m_pTarget == nullptr) return;
    const std::atomic<bool>& bRun = t_pRun != nullptr ? *t_pRun : g_bAlwaysRun;
    for (uint32_t i = 0; i < nCount; ++i) {
        const auto nWParam =
            static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(pBytes[i])));
        // Once the run flag drops, this byte and the rest are dropped.
        if (!bRun || !m_pTarget->SendByte(m_nMsgId, nWParam, bRun)) return;
    }
}
