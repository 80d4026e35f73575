#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Builds and decodes Intel HEX record texts (no line end), for simulated targets and tests.

// ":LLAAAATT<data>CC" with upper-case digits and a correct checksum.
std::string MakeHexRecord(uint8_t nType, uint16_t nAddress, const std::vector<uint8_t>& abData);
// A data record (type 00) whose data are the bytes of strData.
std::string MakeHexDataRecord(uint16_t nAddress, std::string_view strData);
inline std::string MakeHexEofRecord() {
    return MakeHexRecord(0x01, 0, {});
}
// Extended linear address record (type 04) for the upper 16 address bits.
std::string MakeHexLinearRecord(uint16_t nUpper);

// Value of one hexadecimal digit, -1 when the character is none.
int HexDigitValue(char ch);

// Decodes a complete record text; false when it is not one (size, digits or checksum wrong).
struct DecodedHexRecord {
    uint8_t nType = 0;
    uint16_t nAddress = 0;
    std::vector<uint8_t> abData;
};
bool DecodeHexRecord(std::string_view strRecord, DecodedHexRecord& record);

// The flash contents the record texts describe: data bytes at their absolute addresses
// (extended segment and linear addresses applied, offsets wrapping within their segment).
std::map<uint32_t, uint8_t> FlashImageOf(const std::vector<std::string>& aLines);
