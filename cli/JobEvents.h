#pragma once

#include <cstdint>
#include <string>

// What a running job tells its reporters (terminal, JSON Lines, a station's board).

struct JobStartInfo {
    std::string strPort;    // as the operator named it: "COM3", "/dev/ttyUSB0", "usb:0403:6001"
    std::string strDevice;  // the device it stands for ("" when none was found)
    std::string strFile;
    std::string strSha256;  // of the file's bytes
    uint64_t nFileSize = 0;
    int nTargetType = 0;
    int nBaud = 0;
    int nLines = 0;
    bool bDryRun = false;
};

struct JobProgress {
    int nLine = 0;  // progress position: lines confirmed so far
    int nLines = 0;
    uint64_t nBytesSent = 0;
    double dBytesPerSecond = 0;
    double dSecondsLeft = -1;  // < 0 while unknown
};

enum class ResendReason { Timeout, Checksum, Page };
const char* ResendReasonName(ResendReason eReason);

struct JobEnd {
    int nCode = 0;           // ExitCode
    std::string strMessage;  // one line for the operator
    double dDuration = 0;    // seconds from the job's start
    double dTransfer = 0;    // seconds from the ready character to the end; 0 when none
    int nLinesSent = 0;      // line writes, resent ones included
    int nResends = 0;
};

class CJobObserver {
public:
    virtual ~CJobObserver() = default;
    virtual void OnStart(const JobStartInfo& info) = 0;
    // The operator is asked to reset the device; nWaitSeconds 0 = no limit.
    virtual void OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) = 0;
    virtual void OnProgress(const JobProgress& progress) = 0;
    virtual void OnResend(int nLine, ResendReason eReason, int nErrors) = 0;
    virtual void OnEnd(const JobStartInfo& info, const JobEnd& end) = 0;
};
