#include "BootloaderModel.h"

#include "HexImage.h"
#include "HexRecord.h"

namespace {

constexpr char kEntry[] = "^;]";
// Stray bytes never collide with a reply, the ready character or any greeting.
constexpr char kNoise[] = "xyzQ*+=<>vw";

}  // namespace

CBootloaderModel::CBootloaderModel(int nTargetType, const BootloaderFaults& faults)
    : m_nGreeting(nTargetType >= 1 && nTargetType < kTargetTypeCount
                      ? GetTargetInfo(nTargetType).nGreeting
                      : -1) {
    SetFaults(faults);
}

void CBootloaderModel::SetFaults(const BootloaderFaults& faults) {
    m_faults = faults;
    m_nRandom = faults.nSeed * 0x9E3779B97F4A7C15ULL + 1;
}

bool CBootloaderModel::Chance(double dProbability) {
    // xorshift64*: tiny, and identical on every platform for a given seed.
    m_nRandom ^= m_nRandom >> 12;
    m_nRandom ^= m_nRandom << 25;
    m_nRandom ^= m_nRandom >> 27;
    const uint64_t n = (m_nRandom * 0x2545F4914F6CDD1DULL) >> 11;
    return static_cast<double>(n) / static_cast<double>(1ULL << 53) < dProbability;
}

std::string CBootloaderModel::Greet() {
    m_strRecord.clear();
    m_nRecordSize = 0;
    m_nEntryMatched = 0;
    m_nRecordsSinceGreet = 0;
    m_nBase = 0;
    if (m_nGreeting < 0) {
        m_ePhase = Phase::Off;
        return {};
    }
    m_ePhase = Phase::WaitEntry;
    ++m_counters.nGreetings;
    return std::string(1, static_cast<char>(m_nGreeting));
}

std::string CBootloaderModel::Feed(const uint8_t* pData, size_t nLength) {
    std::string strOut;
    Feed(pData, nLength, strOut);
    return strOut;
}

std::string CBootloaderModel::Feed(const std::string& strData) {
    return Feed(reinterpret_cast<const uint8_t*>(strData.data()), strData.size());
}

void CBootloaderModel::Feed(const uint8_t* pData, size_t nLength, std::string& strOut) {
    for (size_t i = 0; i < nLength; ++i)
        FeedByte(pData[i], strOut);
}

void CBootloaderModel::FeedByte(uint8_t ch, std::string& strOut) {
    if (m_ePhase == Phase::Off || m_ePhase == Phase::Done || m_ePhase == Phase::Failed) {
        ++m_counters.nIgnoredBytes;
        return;
    }
    if (m_strRecord.empty()) {
        if (ch == ':' && m_ePhase == Phase::Records) {
            m_strRecord.push_back(':');
            m_nEntryMatched = 0;
            return;
        }
        if (m_nRecordsSinceGreet == 0 && ch == static_cast<uint8_t>(kEntry[m_nEntryMatched])) {
            if (++m_nEntryMatched == 3) {
                m_nEntryMatched = 0;
                m_ePhase = Phase::Records;
                ++m_counters.nEntries;
                Reply('?', strOut);
            }
            return;
        }
        m_nEntryMatched = (ch == static_cast<uint8_t>(kEntry[0])) ? 1 : 0;
        ++m_counters.nIgnoredBytes;
        return;
    }
    m_strRecord.push_back(static_cast<char>(ch));
    if (m_strRecord.size() == 3) {
        const int nHigh = HexDigitValue(m_strRecord[1]);
        const int nLow = HexDigitValue(m_strRecord[2]);
        if (nHigh < 0 || nLow < 0) {
            // No size can be known: reject at once and wait for the next ":".
            ++m_counters.nRecords;
            ++m_nRecordsSinceGreet;
            ++m_counters.nChecksumErrors;
            m_strRecord.clear();
            Reply('-', strOut);
            return;
        }
        m_nRecordSize = 11 + 2 * static_cast<size_t>(nHigh * 16 + nLow);
    }
    if (m_nRecordSize != 0 && m_strRecord.size() == m_nRecordSize) {
        const char chReply = HandleRecord();
        m_strRecord.clear();
        m_nRecordSize = 0;
        Reply(chReply, strOut);
    }
}

char CBootloaderModel::HandleRecord() {
    const int nIndex = m_nRecordsSinceGreet++;
    ++m_counters.nRecords;
    DecodedHexRecord record;
    if (nIndex == m_faults.nFileErrorAtRecord) {
        ++m_counters.nFileErrors;
        m_ePhase = Phase::Failed;
        return '#';
    }
    if (!DecodeHexRecord(m_strRecord, record) || Chance(m_faults.dChecksumError)) {
        ++m_counters.nChecksumErrors;
        return '-';
    }
    if (Chance(m_faults.dPageError)) {
        ++m_counters.nPageErrors;
        return '%';
    }
    ++m_counters.nAccepted;
    m_aAccepted.push_back(m_strRecord);
    switch (record.nType) {
        case 0x00:
            for (size_t i = 0; i < record.abData.size(); ++i) {
                // The 16-bit offset wraps within its segment, as the address field does.
                const auto nOffset = static_cast<uint16_t>(record.nAddress + i);
                m_mapImage[m_nBase + nOffset] = record.abData[i];
            }
            break;
        case 0x01:
            ++m_counters.nEndRecords;
            m_ePhase = Phase::Done;
            return '@';
        case 0x02:
            if (record.abData.size() == 2)
                m_nBase = static_cast<uint32_t>(record.abData[0] << 8 | record.abData[1]) << 4;
            break;
        case 0x04:
            if (record.abData.size() == 2)
                m_nBase = static_cast<uint32_t>(record.abData[0] << 8 | record.abData[1]) << 16;
            break;
        default:  // start addresses and anything else: taken, nothing to store
            break;
    }
    return '~';
}

void CBootloaderModel::Reply(char chReply, std::string& strOut) {
    if (Chance(m_faults.dNoise)) {
        ++m_counters.nNoiseBytes;
        strOut.push_back(kNoise[m_nRandom % (sizeof(kNoise) - 1)]);
    }
    if (Chance(m_faults.dLostReply)) {
        ++m_counters.nLostReplies;
        return;
    }
    strOut.push_back(chReply);
}
