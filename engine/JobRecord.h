#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The service record of one update: what went into which unit, when and how it ended. Kept as
// one JSON object per line in a job log that every tool of the project appends to.
struct JobRecord {
    std::string strTime;  // UTC with offset, "2026-12-07T17:35:53.120+00:00"
    std::string strHost;
    std::string strTool;  // "korvi-flasher", "korvi-flash"
    std::string strVersion;
    int nComNumber = 0;
    std::string strDevice;
    std::string strFile;
    std::string strSha256;  // lower-case hex
    uint64_t nFileSize = 0;
    int nTargetType = 0;
    int nBaud = 0;
    std::string strResult;  // the final status text
    int nErrorCount = 0;
    int64_t nLinesSent = 0;  // resends included
    double dDurationS = 0;
    // Filled in by a station; absent from the line when unset.
    std::optional<std::string> strLot;
    std::optional<std::string> strStation;
    std::optional<std::string> strSlot;
    std::optional<std::string> strAdapterSerial;
    std::optional<std::string> strByPath;
    std::optional<int> nExitCode;

    bool operator==(const JobRecord&) const = default;
};

// One line of JSON, without its line end. Bytes that are not UTF-8 become U+FFFD.
std::string JobRecordToJson(const JobRecord& record);
// Nothing when the line is no JSON object or a required field is missing or of a wrong kind.
std::optional<JobRecord> JobRecordFromJson(std::string_view strLine);

// $XDG_STATE_HOME/korvi-flasher/jobs.jsonl, by default under ~/.local/state; empty when
// there is no home folder to put it in.
std::string DefaultJobLogPath();

// Appends the record as one write of its whole line, then syncs the file; creates the
// folders on the way. Returns empty on success, otherwise what went wrong.
std::string AppendJobRecord(const JobRecord& record, const std::string& strPath);

struct JobLog {
    std::vector<JobRecord> aRecords;  // in file order
    int nDamaged = 0;                 // lines skipped: cut short, edited, not a record
};
// A log that does not exist reads as empty; any other failure is returned as text.
std::string ReadJobLog(const std::string& strPath, JobLog& log);

// Helpers for filling a record.
std::string UtcTimeText(std::chrono::system_clock::time_point time);
std::string HostName();
// SHA-256 (lower-case hex) and size of a file; false when it cannot be read.
bool DigestFile(const std::string& strPath, std::string& strSha256, uint64_t& nSize);
