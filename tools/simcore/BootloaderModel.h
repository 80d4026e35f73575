#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A simulated serial bootloader of a target of type 1 to 5. Pure and single-threaded: it is fed
// the bytes the tool writes and hands back the bytes the target would send, so a test, or the
// pseudo-terminal program around it, decides when those bytes "arrive".
//
// Protocol as the target sees it:
//   Greet()          reset: the bootloader sends its greeting and waits for the entry sequence
//   "^;]"            answered "?" (also when repeated, as long as no record has begun)
//   ":LLAAAATT...CC" a record without line end; its size is fixed by LL (11 + 2*LL characters).
//                    Bytes outside a record (line ends, repeated entry sequences) are ignored.
//   replies          "~" record taken, "-" checksum bad (or not hex), "%" page error,
//                    "#" file error (the bootloader then ignores everything until Greet),
//                    "@" end-of-file record (type 01) taken; later bytes are ignored until Greet.
//
// Policy on errors: a record answered "-", "%" or "#" is discarded; nothing of it is written.
// Every record answered "~" is written at once, so a record sent again later simply overwrites
// the same addresses. A lost reply loses only the reply byte: the record was handled as usual.
// The image persists across Greet (it is the target's flash); ClearImage() erases it.
//
// Faults are drawn from a generator seeded by BootloaderFaults::nSeed, so a run is repeatable:
// the same seed and the same bytes fed give the same replies.
struct BootloaderFaults {
    uint32_t nSeed = 1;
    double dChecksumError = 0.0;  // chance that a good record is answered "-" anyway
    double dPageError = 0.0;      // chance that a good record is answered "%"
    double dLostReply = 0.0;      // chance that a reply byte is dropped
    double dNoise = 0.0;  // chance that a stray byte (never a protocol character) precedes a reply
    int nFileErrorAtRecord =
        -1;  // answer "#" to this record (counted from 0 since Greet); -1: never
};

struct BootloaderCounters {
    int nGreetings = 0;
    int nEntries = 0;         // entry sequences answered "?"
    int nRecords = 0;         // complete records received since construction
    int nAccepted = 0;        // answered "~" or "@"
    int nEndRecords = 0;      // answered "@"
    int nChecksumErrors = 0;  // real and injected
    int nPageErrors = 0;
    int nFileErrors = 0;
    int nLostReplies = 0;
    int nNoiseBytes = 0;
    int nIgnoredBytes = 0;  // bytes outside records and entry sequences
};

class CBootloaderModel {
public:
    enum class Phase { Off, WaitEntry, Records, Done, Failed };

    // nTargetType 1..5 selects the greeting; 0 gives a target that never greets.
    explicit CBootloaderModel(int nTargetType, const BootloaderFaults& faults = {});

    // Reset of the target: drops any partial input and returns the greeting (empty for type 0).
    std::string Greet();

    // Bytes written by the tool; the target's answer is appended to strOut.
    void Feed(const uint8_t* pData, size_t nLength, std::string& strOut);
    std::string Feed(const uint8_t* pData, size_t nLength);
    std::string Feed(const std::string& strData);

    Phase GetPhase() const { return m_ePhase; }
    // Flash contents: absolute address (extended linear/segment addresses applied) -> byte.
    const std::map<uint32_t, uint8_t>& GetImage() const { return m_mapImage; }
    // Text of every record answered "~" or "@", in arrival order.
    const std::vector<std::string>& GetAcceptedRecords() const { return m_aAccepted; }
    const BootloaderCounters& GetCounters() const { return m_counters; }
    void ClearImage() { m_mapImage.clear(); }
    void ClearAcceptedRecords() { m_aAccepted.clear(); }
    // Faults from now on, drawn afresh from faults.nSeed.
    void SetFaults(const BootloaderFaults& faults);

private:
    char HandleRecord();
    void Reply(char chReply, std::string& strOut);
    bool Chance(double dProbability);
    void FeedByte(uint8_t ch, std::string& strOut);

    int m_nGreeting;  // -1: none
    BootloaderFaults m_faults;
    uint64_t m_nRandom = 0;
    Phase m_ePhase = Phase::Off;
    std::string m_strRecord;   // record being received, from its ":"
    size_t m_nRecordSize = 0;  // 0 while the length digits are still missing
    size_t m_nEntryMatched = 0;
    int m_nRecordsSinceGreet = 0;
    uint32_t m_nBase = 0;  // from the last 02/04 record
    std::map<uint32_t, uint8_t> m_mapImage;
    std::vector<std::string> m_aAccepted;
    BootloaderCounters m_counters;
};
