#include "TestSupport.h"

#include <gtest/gtest.h>

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
    a.reserve(static_cast<size_t>(image.GetLineCount()));
    for (int i = 0; i < image.GetLineCount(); ++i)
        a.push_back(image.GetLine(i));
    return a;
}
