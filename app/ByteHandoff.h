#pragma once

#include <QEvent>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class QObject;

// Synchronous delivery of one received byte from the receive thread to the window thread:
// the byte travels as a posted event; the sender waits until the handler ran, or gives up
// when its channel closes. A handler runs nothing for a byte whose sender gave up.
class CRecSerialEvent : public QEvent {
public:
    struct Handoff {
        std::mutex m_mutex;
        std::condition_variable m_cv;
        std::atomic<bool> m_bHandled{false};  // written under m_mutex
        bool m_bAbandoned = false;
    };

    CRecSerialEvent(int nType, uint32_t nWParam, std::shared_ptr<Handoff> pHandoff);

    uint32_t WParam() const { return m_nWParam; }

    // On the receiving thread: calls fnHandle unless the sender gave up, then wakes the
    // sender. Returns whether fnHandle ran.
    template <class Fn>
    bool Handle(Fn&& fnHandle) {
        std::lock_guard<std::mutex> lock(m_pHandoff->m_mutex);
        if (m_pHandoff->m_bAbandoned) return false;
        fnHandle(m_nWParam);
        m_pHandoff->m_bHandled = true;
        m_pHandoff->m_cv.notify_all();
        return true;
    }

private:
    uint32_t m_nWParam;
    std::shared_ptr<Handoff> m_pHandoff;
};

// Posts the byte to pReceiver as an event of type nType and waits for its handler.
// Returns true when it ran, false as soon as bRun is false (the byte is then dropped).
bool SendByteEvent(QObject* pReceiver, int nType, uint32_t nWParam, const std::atomic<bool>& bRun);
