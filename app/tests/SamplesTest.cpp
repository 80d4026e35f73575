// The bundled sample files are what the window and the simulated targets rely on.
#include <gtest/gtest.h>

#include "HexImage.h"

TEST(BundledSamples, EachIsRecognisedAsItsTargetType) {
    for (int nType = 1; nType < kTargetTypeCount; ++nType) {
        const std::string strPath =
            KORVI_SAMPLES_DIR "/korvi-type" + std::to_string(nType) + ".hex";
        CHexImage image;
        image.BuildSignatures();
        ASSERT_TRUE(image.Load(strPath)) << strPath;
        EXPECT_EQ(image.GetTargetType(), nType) << strPath;
        EXPECT_EQ(image.GetLineCount(), 258) << strPath;
    }
}
