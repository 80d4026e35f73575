#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Firmware files for tests, benchmarks and simulations.

// Lines of a firmware for target nType: an extended address record, nDataLines data records of
// nRecordBytes (at least 13) from address 0 with the type's marker in the first, and the
// end-of-file record.
std::vector<std::string> MakeFirmware(int nType, int nDataLines, uint32_t nSeed = 7,
                                      int nRecordBytes = 16);
// Joins lines with the given line end (also after the last line).
std::string JoinLines(const std::vector<std::string>& aLines, std::string_view strEnd = "\n");

// A folder of this process's own under the system's temporary folder, created on first use and
// removed with all its contents when the process exits.
const std::filesystem::path& ProcessTempDir();
// Writes strContent into a fresh file of ProcessTempDir(); returns its path.
std::string WriteTempFile(std::string_view strContent);
