#pragma once

#include <QDialog>
#include <QIcon>

#include <chrono>
#include <string>

#include "ByteTarget.h"
#include "HexImage.h"
#include "MessageBox.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"
#include "WinCom.h"

class QComboBox;
class QMenu;
class QProgressBar;

// The main window (template 102): port list, HEX file, progress and status; owns the
// channel, the image and the engine, drives the engine with two timers and hands it every
// received byte. Runs as a modal dialog without a parent.
class CFlashDlg : public QDialog, public CUpdateHost, public CByteTarget {
public:
    CFlashDlg();
    ~CFlashDlg() override;

    // OnInitDialog, then the modal run; returns the dialog's result.
    int DoModal();
    // Runs once, after the controls exist and before any handler.
    bool OnInitDialog();
    // System commands: the About box for ids 16..31, default handling for the rest.
    void OnSysCommand(unsigned nID);

    // Where the window's notices go; unset means real message boxes. Set before OnInitDialog.
    void SetMessageBoxSeam(MessageBoxFn fnMessageBox) { m_fnMessageBox = std::move(fnMessageBox); }
    // The job log updates are recorded in (empty: none); the user's own by default.
    void SetJobLogPath(std::string strPath) { m_strJobLog = std::move(strPath); }
    // Period of the one-second timer, for tests that cannot wait; set before OnInitDialog.
    void SetSecondTimerPeriod(int nMs) { m_nSecondPeriodMs = nMs; }

    QWidget* GetDlgItem(int nId) const;
    QMenu* GetSystemMenu() const { return m_pSysMenu; }

    // Read-only views.
    int GetPortNumber() const { return m_nComPort; }
    const std::string& GetPathText() const { return m_strPath; }
    const std::string& GetStatusText() const { return m_strStatus; }
    const std::string& GetErrorCountText() const { return m_strErrorCount; }
    int GetProgressMax() const { return m_nProgressMax; }
    int GetProgressPos() const;
    const CUpdateEngine& GetEngine() const { return m_engine; }
    const CHexImage& GetImage() const { return m_image; }
    bool IsPortOpen() const { return m_com.IsOpen(); }
    bool IsFastTimerRunning() const { return m_nTimer101 != 0; }

    // CUpdateHost
    bool IsOpen() override;
    void Close() override;
    bool Open(const std::string& cMode) override;
    bool Write(const uint8_t* pData, uint32_t nLength) override;
    void DiscardInput() override { m_com.DiscardInput(); }
    void SetProgressPos(int nPos) override;
    void SetStatusText(const std::string& strText) override;
    void SetErrorCountText(const std::string& strText) override;
    void Refresh() override;
    void ShowMessage(const std::string& strText) override;

    // CByteTarget, on the receive thread.
    bool SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) override;

protected:
    void accept() override;  // OnOK
    bool event(QEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    void UpdateData(bool bSaveAndValidate);
    void MessageBox(const std::string& strText, unsigned nStyle);
    void SetProgressRange(int nMax);
    void EnableStart(bool bEnable);
    // Load followed by the after-load steps: remember, check, Start button, status, range.
    // False when the file could not be read; nothing has changed then.
    bool LoadHexFile(const std::string& strPath);
    // Opens a job when an update has got past the greeting, records it once it has ended.
    void TrackJob();
    void RecordJob();
    // The fast timer rests while a step could do nothing (Idle, Finished).
    void PaceFastTimer();
    bool IsUpdateRunning() const;
    // Puts the latest progress on the bar, and texts that Refresh left due into their fields:
    // at once outside a transfer, otherwise once they were last shown 40 ms ago (bForce: now).
    void ShowProgress(bool bForce);

    void OnSelChangePort();
    void OnOpen();
    void OnStartFlash();
    void OnAbout();

    QProgressBar* m_pProgress = nullptr;
    QComboBox* m_pPortList = nullptr;
    std::string m_strPath;
    std::string m_strStatus;
    std::string m_strErrorCount;
    QIcon m_hIcon;
    int m_nTimer101 = 0;
    int m_nTimer102 = 0;
    CWinCom m_com;
    int m_nComPort = 0;

    CHexImage m_image;
    CUpdateEngine m_engine;

    int m_nProgressMax = 0;
    int m_nProgressPos = 0;  // the engine's latest position, which the bar may lag
    std::chrono::steady_clock::time_point m_progressShown;
    bool m_bTextsDue = false;          // the fields lag the texts
    std::string m_strErrorCountShown;  // as the field last got it
    bool m_bInitDone = false;
    QMenu* m_pSysMenu = nullptr;
    MessageBoxFn m_fnMessageBox;
    int m_nSecondPeriodMs = 1000;

    // The file the image was loaded from, as it was read.
    std::string m_strImagePath;
    std::string m_strImageSha256;
    uint64_t m_nImageSize = 0;
    // The job log, and the update being recorded.
    std::string m_strJobLog;
    bool m_bJobOpen = false;
    std::chrono::system_clock::time_point m_jobTime;
    std::chrono::steady_clock::time_point m_jobStart;
    int64_t m_nLinesSent = 0;
    // The mode the engine's last Open could not open the port in ("": none failed).
    std::string m_strOpenFailed;
};
