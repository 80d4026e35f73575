#include "ByteHandoff.h"

#include <QCoreApplication>

#include <chrono>

#include "AwakeWait.h"

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
