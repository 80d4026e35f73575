#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// korvi-flash run as a child process in a folder of its own, with its own job log.
struct CliRun {
    int nExit = -1;  // exit code; 128 + N for a signal N
    std::string strOut;
    std::string strErr;
    std::string strStateDir;
    // Every line of strOut parsed; a line that is no JSON fails the test.
    std::vector<nlohmann::json> Events() const;
    // The records of the job log after the run.
    std::vector<nlohmann::json> Records() const;
};

struct CliOptions {
    bool bErrTerminal = false;        // stderr on a pseudo-terminal
    std::vector<std::string> aEnv{};  // "NAME=value", added
    std::string strStateDir{};        // XDG_STATE_HOME; a fresh one when empty
    // Sent once stdout has shown a line containing this text ("": never).
    std::string strSignalAfter{};
    int nSignal = 0;
};

struct CliCall {
    std::vector<std::string> aArgs;
    CliOptions options;
};

CliRun RunCli(const std::vector<std::string>& aArgs, const CliOptions& options = {});
// The runs side by side, so a batch costs its slowest run rather than the sum.
std::vector<CliRun> RunClis(const std::vector<CliCall>& aCalls);

// A HEX file of nDataLines 16-byte records for target nType, in a temporary folder.
std::string FirmwareFile(int nType, int nDataLines);
