// Runs the settings fuzz target's checks over its seed corpus, which keeps every input the
// fuzzer found a fault with.
#include <gtest/gtest.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

TEST(SettingsFuzzReplay, EveryCorpusInputPasses) {
    int nInputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KORVI_SETTINGS_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string strData((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        // The target aborts on a failed check, which fails this test.
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(strData.data()),
                                         strData.size()),
                  0);
        ++nInputs;
    }
    EXPECT_GE(nInputs, 8);
}

}  // namespace
