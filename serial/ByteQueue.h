#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "ByteTarget.h"

// Owner-thread delivery without a window system: the receive thread posts one byte and waits
// until the owner's thread, pumping, has run the handler for it (or the run flag drops).
class CByteQueue : public CByteTarget {
public:
    using Handler = std::function<void(uint32_t nMsgId, uint32_t nWParam)>;

    // fnAfter, if given, runs on the owner's thread after each byte's sender has been released,
    // as a window acts on a byte once its handler has returned.
    explicit CByteQueue(Handler handler, std::function<void()> fnAfter = {})
        : m_handler(std::move(handler)), m_fnAfter(std::move(fnAfter)) {}

    bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) override;

    // Owner thread: hands every byte that is waiting now to the handler; returns how many.
    int Pump();
    // Owner thread: keeps pumping for nMs, waking as bytes arrive; returns how many.
    int PumpFor(int nMs);
    // Owner thread: pumps until bDone() holds or nMs have passed; returns bDone().
    bool PumpUntil(const std::function<bool()>& bDone, int nMs);

private:
    struct Posted {
        uint64_t nSeq;
        uint32_t nMsgId;
        uint32_t nWParam;
    };
    bool HandleOne(std::unique_lock<std::mutex>& lock);

    Handler m_handler;
    std::function<void()> m_fnAfter;
    std::mutex m_mutex;
    std::condition_variable m_cvPosted;
    std::condition_variable m_cvHandled;
    std::deque<Posted> m_queue;
    uint64_t m_nPosted = 0;
    std::atomic<uint64_t> m_nHandled{0};  // written under m_mutex
};
