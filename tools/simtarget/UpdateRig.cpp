#include "UpdateRig.h"

#include <chrono>
#include <cstdio>

namespace {
constexpr uint32_t kMsgId = 0xC001;
}

CUpdateRig::CUpdateRig()
    : m_queue(
          [this](uint32_t, uint32_t nWParam) {
              m_engine.OnReceivedByte(static_cast<uint8_t>(nWParam & 0xFF));
          },
          [this] {
              if (m_bStepAfterBytes) m_engine.StepNow();
          }) {
    m_com.m_nMsgId = kMsgId;
    m_com.m_pTarget = &m_queue;
    m_engine.InitStartValues();
}

// The channel goes first: its receive thread may be waiting on the queue.
CUpdateRig::~CUpdateRig() {
    m_com.Close();
}

bool CUpdateRig::LoadFile(const std::string& strPath) {
    return m_image.Load(strPath);
}

bool CUpdateRig::IsFinalStatus(const std::string& strStatus) {
    for (const char* sz :
         {"Update successful", "Checksum Error! Please try again!", "Page Error! Please try again!",
          "Fault! Please try again!", "File Error!", "Fehler"}) {
        if (strStatus == sz) return true;
    }
    return false;
}

bool CUpdateRig::RunUpdate(int nCom, int nTimeoutMs) {
    using Clock = std::chrono::steady_clock;
    if (!m_com.IsOpen()) {
        char szMode[32];
        std::snprintf(szMode, sizeof szMode, "COM%d:19200,N,8,1", nCom);
        m_com.Open(szMode);
    }
    m_strStatus.clear();
    m_engine.Start(nCom);
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    auto nextSecond = Clock::now() + std::chrono::seconds(1);
    auto transferStart = Clock::time_point::max();
    auto nextReset = Clock::now();
    m_dTransferSeconds = 0;
    while (Clock::now() < deadline) {
        m_queue.PumpFor(1);
        const bool bSecond = Clock::now() >= nextSecond;
        if (bSecond) nextSecond += std::chrono::seconds(1);
        m_engine.OnTimer(bSecond);
        const auto now = Clock::now();
        if (m_fnReset && m_strStatus == "Please reset Korvi device..." && now >= nextReset) {
            m_fnReset();
            nextReset = now + std::chrono::milliseconds(m_nResetRepeatMs);
        }
        if (m_fnTick) m_fnTick();
        if (m_engine.GetState() == Transfer && transferStart == Clock::time_point::max())
            transferStart = now;
        if (IsFinalStatus(m_strStatus) && !m_engine.IsBusy()) {
            if (transferStart != Clock::time_point::max()) {
                m_dTransferSeconds = std::chrono::duration<double>(now - transferStart).count();
            }
            return true;
        }
    }
    return false;
}
