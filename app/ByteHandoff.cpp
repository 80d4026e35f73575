#include "ByteHandoff.h"

#include <QCoreApplication>

#include <sched.h>

#include <chrono>

namespace {

// The window thread usually handles a byte within tens of microseconds. A sender still awake
// then needs no wake-up call, which the window thread would otherwise make on its way to
// writing the next line: 15 to 20 us a call on a virtual machine, on every line.
constexpr std::chrono::microseconds kAwakeWait{100};

// Yields until bDone() holds or kAwakeWait has passed.
template <class Done>
void AwaitAwake(Done bDone) {
    const auto until = std::chrono::steady_clock::now() + kAwakeWait;
    while (!bDone() && std::chrono::steady_clock::now() < until)
        ::sched_yield();
}

}  // namespace

CRecSerialEvent::CRecSerialEvent(int nType, uint32_t nWParam, std::shared_ptr<Handoff> pHandoff)
    : QEvent(static_cast<QEvent::Type>(nType)),
      m_nWParam(nWParam),
      m_pHandoff(std::move(pHandoff)) {}

bool SendByteEvent(QObject* pReceiver, int nType, uint32_t nWParam, const std::atomic<bool>& bRun) {
    // The run flag is only polled, so a closing channel is noticed within one slice.
    constexpr auto kSlice = std::chrono::milliseconds(2);

    auto pHandoff = std::make_shared<CRecSerialEvent::Handoff>();
    QCoreApplication::postEvent(pReceiver, new CRecSerialEvent(nType, nWParam, pHandoff));

    AwaitAwake([&] { return pHandoff->m_bHandled || !bRun; });
    std::unique_lock<std::mutex> lock(pHandoff->m_mutex);
    while (!pHandoff->m_bHandled) {
        if (!bRun.load()) {
            pHandoff->m_bAbandoned = true;
            return false;
        }
        pHandoff->m_cv.wait_for(lock, kSlice);
    }
    return true;
}
