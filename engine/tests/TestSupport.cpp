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

std::vector<std::string> LinesOf(const CHexImage& image) {
    std::vector<std::string> a;
    for (int i = 0; i < image.GetLineCount(); ++i)
        a.push_back(image.GetLine(i));
    return a;
}

void CScriptedHost::Deliver(CUpdateEngine& engine, size_t nMax) {
    const size_t n = std::min(nMax, m_strWire.size());
    for (size_t i = 0; i < n; ++i)
        engine.OnReceivedByte(static_cast<uint8_t>(m_strWire[i]));
    m_strWire.erase(0, n);
}
