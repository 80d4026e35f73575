#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

void LoadLines(CHexImage& image, const std::vector<std::string>& aLines) {
    ASSERT_TRUE(image.Load(WriteTempFile(JoinLines(aLines))));
}

std::string SignatureOf(int nType) {
    CHexImage image;
    image.BuildSignatures();
    return image.GetSignatures()[static_cast<size_t>(nType)];
}

void CScriptedHost::Close() {
    ++m_nCloses;
    m_bOpen = false;
}

bool CScriptedHost::Open(const std::string& cMode) {
    m_aModes.push_back(cMode);
    m_bOpen = m_bOpenSucceeds;
    return m_bOpen;
}

bool CScriptedHost::Write(const uint8_t* pData, uint32_t nLength) {
    if (!m_bOpen) return false;
    m_aWrites.emplace_back(reinterpret_cast<const char*>(pData), nLength);
    if (m_pTarget != nullptr) m_pTarget->Feed(pData, nLength, m_strWire);
    return true;
}

void CScriptedHost::SetStatusText(const std::string& strText) {
    m_strStatus = strText;
    m_aStatusHistory.push_back(strText);
}

void CScriptedHost::Refresh() {
    ++m_nRefreshes;
    m_strShownStatus = m_strStatus;
}

void CScriptedHost::Deliver(CUpdateEngine& engine, size_t nMax) {
    const size_t n = std::min(nMax, m_strWire.size());
    for (size_t i = 0; i < n; ++i)
        engine.OnReceivedByte(static_cast<uint8_t>(m_strWire[i]));
    m_strWire.erase(0, n);
}

void CScriptedHost::ClearRecords() {
    m_aWrites.clear();
    m_aProgress.clear();
    m_aStatusHistory.clear();
    m_aMessages.clear();
}
