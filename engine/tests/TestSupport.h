#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Firmware.h"
#include "HexRecord.h"
#include "UpdateEngine.h"

// The image of a file holding these lines.
inline CHexImage ImageOf(const std::vector<std::string>& aLines) {
    CHexImage image;
    EXPECT_TRUE(image.Load(WriteTempFile(JoinLines(aLines))));
    return image;
}

// The marker text detection looks for in a type's data; a load builds them all.
inline std::string SignatureOf(int nType) {
    return ImageOf({}).GetSignatures()[static_cast<size_t>(nType)];
}

inline std::vector<std::string> LinesOf(const CHexImage& image) {
    std::vector<std::string> a;
    a.reserve(static_cast<size_t>(image.GetLineCount()));
    for (int i = 0; i < image.GetLineCount(); ++i)
        a.push_back(image.GetLine(i));
    return a;
}

// The window's side of an update, recorded.
class CScriptedHost : public CUpdateHost {
public:
    bool IsOpen() override { return m_bOpen; }
    void Close() override { m_bOpen = false; }
    bool Open(const std::string&) override { return m_bOpen = true; }
    bool Write(const uint8_t* pData, uint32_t nLength) override {
        if (m_bOpen) m_aWrites.emplace_back(reinterpret_cast<const char*>(pData), nLength);
        return m_bOpen;
    }
    void SetProgressPos(int nPos) override { m_aProgress.push_back(nPos); }
    void SetStatusText(const std::string& strText) override { m_strStatus = strText; }
    void SetErrorCountText(const std::string& strText) override { m_strErrorCount = strText; }
    void Refresh() override { m_strShownStatus = m_strStatus; }
    void ShowMessage(const std::string& strText) override { m_aMessages.push_back(strText); }
    void ClearRecords() { m_aWrites.clear(), m_aProgress.clear(); }

    bool m_bOpen = true;
    std::vector<std::string> m_aWrites, m_aMessages;
    std::vector<int> m_aProgress;
    std::string m_strStatus, m_strErrorCount, m_strShownStatus;  // shown: as of the last Refresh
};
