#include "ByteQueue.h"

#include <algorithm>
#include <chrono>

#include "AwakeWait.h"

namespace {
// How often a waiting sender looks at its run flag, which nobody notifies it about.
constexpr std::chrono::milliseconds kRunCheck{5};
}  // namespace

bool CByteQueue::SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) {
    std::unique_lock lock(m_mutex);
    const uint64_t nSeq = ++m_nPosted;
    m_queue.push_back({nSeq, nMsgId, nWParam});
    m_cvPosted.notify_all();
    if (bRun) {
        // A byte of a session already closing is withdrawn below before the owner can see it.
        lock.unlock();
        AwaitAwake([&] { return m_nHandled >= nSeq || !bRun; });
        lock.lock();
    }
    while (m_nHandled < nSeq) {
        if (!bRun) {
            // Withdraw it if the owner has not taken it yet; either way the sender goes.
            std::erase_if(m_queue, [nSeq](const Posted& p) { return p.nSeq == nSeq; });
            return false;
        }
        m_cvHandled.wait_for(lock, kRunCheck);
    }
    return true;
}

bool CByteQueue::HandleOne(std::unique_lock<std::mutex>& lock) {
    if (m_queue.empty()) return false;
    const Posted p = m_queue.front();
    m_queue.pop_front();
    lock.unlock();
    m_handler(p.nMsgId, p.nWParam);
    lock.lock();
    if (p.nSeq > m_nHandled) m_nHandled = p.nSeq;
    m_cvHandled.notify_all();
    if (m_fnAfter) {
        lock.unlock();
        m_fnAfter();
        lock.lock();
    }
    return true;
}

int CByteQueue::Pump() {
    std::unique_lock lock(m_mutex);
    int n = 0;
    while (HandleOne(lock))
        ++n;
    return n;
}

int CByteQueue::PumpFor(int nMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    std::unique_lock lock(m_mutex);
    int n = 0;
    while (true) {
        while (HandleOne(lock))
            ++n;
        if (m_cvPosted.wait_until(lock, deadline, [this] { return !m_queue.empty(); })) continue;
        return n;
    }
}

bool CByteQueue::PumpUntil(const std::function<bool()>& bDone, int nMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!bDone()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        PumpFor(static_cast<int>(std::min<long long>(left.count(), 10)));
    }
    return true;
}
