// Writes the bundled sample firmware files, one per target type: korvi-typeN.hex.
// Each is a 4 KiB image laid out as small firmware is: a vector table, code bytes, and an
// identification block with the target's signature marker and the firmware version, placed
// so that it straddles two records.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "HexImage.h"
#include "HexRecord.h"

namespace {

constexpr size_t kImageSize = 4096;
constexpr size_t kRecordSize = 16;
constexpr size_t kIdOffset = 0x0F8;

std::vector<uint8_t> MakeImage(int nType) {
    std::vector<uint8_t> abImage(kImageSize);
    uint32_t nState = 0x1234567u * static_cast<uint32_t>(nType);
    for (uint8_t& b : abImage) {
        nState = nState * 1103515245u + 12345u;
        b = static_cast<uint8_t>(nState >> 16);
    }
    // Reset and interrupt vectors: jumps into the code.
    for (size_t i = 0; i < 0x40; i += 4) {
        abImage[i] = 0x0C;
        abImage[i + 1] = 0x94;
        abImage[i + 2] = static_cast<uint8_t>(0x20 + i);
        abImage[i + 3] = 0x01;
    }
    const std::string strId = std::string(GetTargetInfo(nType).szMarker) + " V1.41";
    std::copy(strId.begin(), strId.end(), abImage.begin() + kIdOffset);
    abImage[kIdOffset + strId.size()] = 0;
    return abImage;
}

bool WriteSample(const std::string& strDir, int nType) {
    const std::string strPath = strDir + "/korvi-type" + std::to_string(nType) + ".hex";
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t> abImage = MakeImage(nType);
    file << MakeHexLinearRecord(0) << "\r\n";
    for (size_t nAddress = 0; nAddress < abImage.size(); nAddress += kRecordSize) {
        const std::vector<uint8_t> abData(
            abImage.begin() + static_cast<long>(nAddress),
            abImage.begin() + static_cast<long>(nAddress + kRecordSize));
        file << MakeHexRecord(0x00, static_cast<uint16_t>(nAddress), abData) << "\r\n";
    }
    file << MakeHexEofRecord() << "\r\n";
    file.close();
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", strPath.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvi-make-samples OUTDIR\n");
        return 2;
    }
    for (int nType = 1; nType < kTargetTypeCount; ++nType) {
        if (!WriteSample(argv[1], nType)) return 1;
    }
    return 0;
}
