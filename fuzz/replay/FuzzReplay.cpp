// Runs a fuzz target's checks over its corpus. The target aborts on a failed check, which
// fails the test and names the input last traced.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

TEST(FuzzReplay, EveryCorpusInputPasses) {
    int nInputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KORVI_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string strData((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s\n", entry.path().filename().c_str());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(strData.data()),
                                         strData.size()),
                  0);
        ++nInputs;
    }
    EXPECT_GE(nInputs, 5) << "corpus missing or nearly empty: " << KORVI_FUZZ_CORPUS;
}
