#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ByteQueue.h"
#include "HexImage.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"
#include "WinCom.h"

// The window's part of an update without a window: the channel, the engine and the two
// timers, all on the calling thread, received bytes handed over through a CByteQueue.
class CUpdateRig : public CUpdateHost {
public:
    CUpdateRig();
    ~CUpdateRig() override;

    bool LoadFile(const std::string& strPath);
    // The operator's hand on the target's reset button: pressed while the tool asks for a
    // reset, again every nRepeatMs while it keeps asking.
    void SetResetButton(std::function<void()> fnPress, int nRepeatMs = 1000) {
        m_fnReset = std::move(fnPress);
        m_nResetRepeatMs = nRepeatMs;
    }
    // Runs after every step of RunUpdate on its thread: where a test acts as the operator or
    // the outside world would while an update runs.
    void SetTickHook(std::function<void()> fnTick) { m_fnTick = std::move(fnTick); }
    // Whether each received byte is followed by one engine step, as in the window (the
    // default), or waits for the next tick.
    void SetStepAfterBytes(bool bStep) { m_bStepAfterBytes = bStep; }
    // Opens COMn at 19200 as the window does at start-up, then runs one update to its end.
    // False when no final status came within nTimeoutMs.
    bool RunUpdate(int nCom, int nTimeoutMs);

    const std::string& Status() const { return m_strStatus; }
    const std::vector<std::string>& Messages() const { return m_aMessages; }
    int Progress() const { return m_nProgress; }
    // Seconds from the ready character to the final status of the last RunUpdate.
    double TransferSeconds() const { return m_dTransferSeconds; }
    CHexImage& Image() { return m_image; }
    CUpdateEngine& Engine() { return m_engine; }
    CWinCom& Channel() { return m_com; }
    static bool IsFinalStatus(const std::string& strStatus);

    // CUpdateHost
    bool IsOpen() override { return m_com.IsOpen(); }
    void Close() override { m_com.Close(); }
    bool Open(const std::string& cMode) override { return m_com.Open(cMode); }
    bool Write(const uint8_t* pData, uint32_t nLength) override {
        return m_com.Write(pData, nLength);
    }
    void SetProgressPos(int nPos) override { m_nProgress = nPos; }
    void SetStatusText(const std::string& strText) override { m_strStatus = strText; }
    void SetErrorCountText(const std::string& strText) override { m_strErrorCount = strText; }
    void Refresh() override {}
    void ShowMessage(const std::string& strText) override { m_aMessages.push_back(strText); }

private:
    CHexImage m_image;
    CUpdateEngine m_engine{m_image, *this};
    CByteQueue m_queue;
    CWinCom m_com;
    std::string m_strStatus;
    std::string m_strErrorCount;
    std::vector<std::string> m_aMessages;
    int m_nProgress = 0;
    std::function<void()> m_fnReset;
    int m_nResetRepeatMs = 1000;
    std::function<void()> m_fnTick;
    double m_dTransferSeconds = 0;
    bool m_bStepAfterBytes = true;
};
