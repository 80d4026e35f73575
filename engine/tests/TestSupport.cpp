#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

std::string WriteTempFile(std::string_view strContent) {
    static std::atomic<int> s_nCounter{0};
    const auto dir = std::filesystem::temp_directory_path() /
                     ("korvi_engine_tests_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / ("f" + std::to_string(s_nCounter++) + ".hex");
    std::ofstream(path, std::ios::binary).write(strContent.data(),
                                                static_cast<std::streamsize>(strContent.size()));
    return path.string();
}

std::string JoinLines(const std::vector<std::string>& aLines, std::string_view strEnd) {
    std::string str;
    for (const std::string& strLine : aLines) (str += strLine) += strEnd;
    return str;
}

void LoadLines(CHexImage& image, const std::vector<std::string>& aLines) {
    ASSERT_TRUE(image.Load(WriteTempFile(JoinLines(aLines))));
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
    for (size_t i = 0; i < n; ++i) engine.OnReceivedByte(static_cast<uint8_t>(m_strWire[i]));
    m_strWire.erase(0, n);
}

void CScriptedHost::ClearRecords() {
    m_aWrites.clear();
    m_aProgress.clear();
    m_aStatusHistory.clear();
    m_aMessages.clear();
}

std::vector<std::string> MakeFirmware(int nType, int nDataLines, uint32_t nSeed) {
    std::vector<std::string> aLines{MakeHexLinearRecord(0)};
    uint32_t nRandom = nSeed;
    for (int i = 0; i < nDataLines; ++i) {
        std::string strData;
        for (int n = 0; n < 16; ++n) {
            nRandom = nRandom * 1103515245u + 12345u;
            strData.push_back(static_cast<char>(nRandom >> 16));
        }
        if (i == 0 && nType > 0) strData.replace(0, 13, GetTargetInfo(nType).szMarker);
        aLines.push_back(MakeHexDataRecord(static_cast<uint16_t>(16 * i), strData));
    }
    aLines.push_back(MakeHexEofRecord());
    return aLines;
}
