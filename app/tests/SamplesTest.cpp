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
        // Extended address record, 256 data records of 16 bytes, end-of-file record.
        EXPECT_EQ(image.GetLineCount(), 258) << strPath;
        EXPECT_EQ(image.LineAt(0), ":020000040000FA");
        EXPECT_EQ(image.LineAt(257), ":00000001FF");
    }
}
