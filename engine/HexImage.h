#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Kind of target a firmware file is meant for; 0 when no signature marker was found.
using TargetType = int;
constexpr int kTargetTypeCount = 6;  // 0..5

struct TargetInfo {
    const char* szMarker;      // 13 characters; nullptr for type 0
    int nGreeting;             // byte the bootloader greets with; -1 for type 0
    int nBaud;                 // speed of the update run
    const char* szModeFormat;  // "COM%d:...", used by Start
};

// Constant, indexed by TargetType.
const TargetInfo& GetTargetInfo(TargetType nType);

struct RecordHeader {
    uint8_t nLength = 0;
    uint16_t nAddress = 0;
    uint8_t nPage = 0;  // address bits 8..15
};

class CHexImage {
public:
    CHexImage() = default;

    // Builds the five signature texts from the markers; idempotent.
    void BuildSignatures();

    // False when the file cannot be opened or read, or is no regular file (a folder, pipe or
    // device); the image is then unchanged. Builds the signature texts if still missing.
    bool Load(const std::string& strPath);

    int GetLineCount() const { return static_cast<int>(m_aLines.size()); }
    // Caller keeps 0 <= nIndex < GetLineCount().
    std::string GetLine(int nIndex) const { return m_aLines[static_cast<size_t>(nIndex)]; }
    const std::string& LineAt(int nIndex) const { return m_aLines[static_cast<size_t>(nIndex)]; }
    TargetType GetTargetType() const { return m_nTargetType; }
    const std::array<std::string, kTargetTypeCount>& GetSignatures() const { return m_aSignatures; }

    static RecordHeader ParseRecordHeader(std::string_view strLine);

private:
    TargetType FindTargetType(std::string_view strData,
                              const std::vector<size_t>& aDataStart) const;

    std::vector<std::string> m_aLines;
    TargetType m_nTargetType = 0;
    std::array<std::string, kTargetTypeCount> m_aSignatures;  // [0] stays empty
};
