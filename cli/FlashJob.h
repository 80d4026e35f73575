#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ByteTarget.h"
#include "HexImage.h"
#include "JobEvents.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"
#include "WinCom.h"

struct FlashJobOptions {
    std::string strFile;
    std::string strPort;         // as named by the operator
    std::string strDevice;       // resolved device path; "" when none was found
    std::string strPortProblem;  // why strDevice is empty
    int nWaitSeconds = 60;       // for the greeting; 0 = no limit
    bool bDryRun = false;        // stop at the greeting, before entering the bootloader
};

// One update of one device: owns its channel, image and engine, and is driven by an event loop
// (CJobLoop) that may drive several at once. Everything runs on the loop's thread except
// SendByte, which the channel's receive thread calls.
class CFlashJob : public CUpdateHost, public CByteTarget {
public:
    CFlashJob(FlashJobOptions options, CJobObserver& observer);
    ~CFlashJob() override;
    CFlashJob(const CFlashJob&) = delete;
    CFlashJob& operator=(const CFlashJob&) = delete;

    // Pre-flight check, port, engine start. IsDone() may hold right after (file refused, port).
    void Begin();

    // Becomes readable when received bytes wait for OnWake.
    int WakeFd() const { return m_nWakeFd; }
    // Hands every waiting byte to the engine, then runs one step at once.
    void OnWake();
    // The 1 ms tick (only while WantsFastTick) or the one-second tick.
    void OnTick(bool bSecond);
    bool WantsFastTick() const;
    // SIGINT/SIGTERM: port closed, ends with kExitInterrupted.
    void Interrupt();

    bool IsDone() const { return m_bDone; }
    const JobStartInfo& Info() const { return m_info; }
    const JobEnd& End() const { return m_end; }
    // When the greeting was first accepted, and the seconds from then to the end; from the
    // job's start for one that never got that far. As the window records its updates.
    std::chrono::system_clock::time_point RecordTime() const { return m_recordTime; }
    double RecordSeconds() const { return m_dRecordSeconds; }
    CUpdateEngine& Engine() { return m_engine; }
    int ErrorCount() const { return m_engine.GetErrorCount(); }
    // Runs after every step: where a simulation acts as the outside world would.
    void SetStepHook(std::function<void()> fn) { m_fnStepHook = std::move(fn); }
    // Runs once when the job has ended (record keeping).
    void SetEndHook(std::function<void(const CFlashJob&)> fn) { m_fnEndHook = std::move(fn); }

    // CUpdateHost
    bool IsOpen() override { return m_com.IsOpen(); }
    void Close() override { m_com.Close(); }
    bool Open(const std::string& cMode) override;
    bool Write(const uint8_t* pData, uint32_t nLength) override;
    void DiscardInput() override;
    void SetProgressPos(int nPos) override;
    void SetStatusText(const std::string& strText) override { m_strStatus = strText; }
    void SetErrorCountText(const std::string& /*strText*/) override { ++m_nErrorsInStep; }
    void Refresh() override {}
    void ShowMessage(const std::string& strText) override { m_strStatus = strText; }

    // CByteTarget, on the receive thread
    bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) override;

private:
    using Clock = std::chrono::steady_clock;

    // bNow: right after received bytes, without the passing of time a tick stands for.
    void Step(bool bSecond, bool bNow = false);
    void AfterStep(int32_t nStateBefore, int32_t nLineBefore,
                   const std::vector<ResendReason>& aReasons);
    void ReportProgress(int nPos);
    void Finish(int nCode, std::string strMessage);
    std::string PortText() const;

    FlashJobOptions m_options;
    CJobObserver& m_observer;
    JobStartInfo m_info;
    JobEnd m_end;
    CHexImage m_image;
    CUpdateEngine m_engine{m_image, *this};
    CWinCom m_com;
    int m_nCom = 0;  // private COM number pinned to the device
    uint64_t m_nDeviceId = 0;

    // received bytes waiting for the loop's thread
    int m_nWakeFd = -1;
    std::mutex m_mutex;
    std::condition_variable m_cvHandled;
    std::deque<uint8_t> m_inbox;
    uint64_t m_nPosted = 0;
    std::atomic<uint64_t> m_nHandled{0};  // written under m_mutex

    std::string m_strStatus;
    int m_nErrorsInStep = 0;
    bool m_bDone = false;
    bool m_bGreeted = false;
    bool m_bEverGreeted = false;  // by this job, whatever came after
    Clock::time_point m_start = Clock::now();
    std::chrono::system_clock::time_point m_recordTime = std::chrono::system_clock::now();
    Clock::time_point m_recordStart = Clock::now();
    double m_dRecordSeconds = 0;
    Clock::time_point m_waitDeadline = Clock::time_point::max();
    Clock::time_point m_transferStart = Clock::time_point::max();
    std::vector<uint64_t> m_aBytesBefore;  // bytes of lines 0..i-1
    uint64_t m_nBytesSent = 0;
    int m_nProgress = -1;
    std::function<void()> m_fnStepHook;
    std::function<void(const CFlashJob&)> m_fnEndHook;
};
