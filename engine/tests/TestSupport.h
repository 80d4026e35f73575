#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BootloaderModel.h"
#include "Firmware.h"
#include "HexImage.h"
#include "HexRecord.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"

// Loads the lines into the image through a temporary file.
void LoadLines(CHexImage& image, const std::vector<std::string>& aLines);
// The marker text detection looks for in a type's data.
std::string SignatureOf(int nType);

// The window's side of an update, recorded; writes go to an optional simulated target whose
// replies wait on the "wire" until the test delivers them.
class CScriptedHost : public CUpdateHost {
public:
    bool IsOpen() override { return m_bOpen; }
    void Close() override;
    bool Open(const std::string& cMode) override;
    bool Write(const uint8_t* pData, uint32_t nLength) override;
    void SetProgressPos(int nPos) override { m_aProgress.push_back(nPos); }
    void SetStatusText(const std::string& strText) override;
    void SetErrorCountText(const std::string& strText) override { m_strErrorCount = strText; }
    void Refresh() override;
    void ShowMessage(const std::string& strText) override { m_aMessages.push_back(strText); }

    // Hands the first nMax waiting target bytes to the engine.
    void Deliver(CUpdateEngine& engine, size_t nMax = SIZE_MAX);
    void ClearRecords();

    bool m_bOpen = true;
    bool m_bOpenSucceeds = true;
    CBootloaderModel* m_pTarget = nullptr;
    std::string m_strWire;
    int m_nCloses = 0;
    std::vector<std::string> m_aModes;
    std::vector<std::string> m_aWrites;
    std::vector<int> m_aProgress;
    std::vector<std::string> m_aStatusHistory;
    std::string m_strStatus;
    std::string m_strErrorCount;
    std::string m_strShownStatus;  // as of the last Refresh
    int m_nRefreshes = 0;
    std::vector<std::string> m_aMessages;
};
