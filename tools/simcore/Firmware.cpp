#include "Firmware.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <system_error>

#include "HexImage.h"
#include "HexRecord.h"

namespace {

class CProcessTempDir {
public:
    CProcessTempDir()
        : m_path(std::filesystem::temp_directory_path() /
                 ("korvi_tests_" + std::to_string(m_nOwner))) {
        std::filesystem::create_directories(m_path);
    }
    // A forked child leaves the folder to its parent.
    ~CProcessTempDir() {
        std::error_code ec;
        if (::getpid() == m_nOwner) std::filesystem::remove_all(m_path, ec);
    }
    CProcessTempDir(const CProcessTempDir&) = delete;
    CProcessTempDir& operator=(const CProcessTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    pid_t m_nOwner = ::getpid();
    std::filesystem::path m_path;
};

}  // namespace

std::vector<std::string> MakeFirmware(int nType, int nDataLines, uint32_t nSeed, int nRecordBytes) {
    std::vector<std::string> aLines{MakeHexLinearRecord(0)};
    aLines.reserve(static_cast<size_t>(nDataLines) + 2);
    uint32_t nRandom = nSeed;
    for (int i = 0; i < nDataLines; ++i) {
        std::string strData;
        for (int n = 0; n < nRecordBytes; ++n) {
            nRandom = nRandom * 1103515245u + 12345u;
            strData.push_back(static_cast<char>(nRandom >> 16));
        }
        if (i == 0 && nType > 0) strData.replace(0, 13, GetTargetInfo(nType).szMarker);
        aLines.push_back(MakeHexDataRecord(static_cast<uint16_t>(nRecordBytes * i), strData));
    }
    aLines.push_back(MakeHexEofRecord());
    return aLines;
}

std::string JoinLines(const std::vector<std::string>& aLines, std::string_view strEnd) {
    std::string str;
    for (const std::string& strLine : aLines)
        (str += strLine) += strEnd;
    return str;
}

const std::filesystem::path& ProcessTempDir() {
    static const CProcessTempDir s_dir;
    return s_dir.Path();
}

std::string WriteTempFile(std::string_view strContent) {
    static std::atomic<int> s_nCounter{0};
    const auto path = ProcessTempDir() / ("f" + std::to_string(s_nCounter++) + ".hex");
    std::ofstream(path, std::ios::binary)
        .write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    return path.string();
}
