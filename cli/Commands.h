#pragma once

#include <string>
#include <vector>

#include "JobRecord.h"

class CArgs;
class CFlashJob;
struct SimTargetOptions;

// Each returns the process's exit code; aArgs are the arguments after the command's name.
int RunFlash(const std::vector<std::string>& aArgs);
int RunCheck(const std::vector<std::string>& aArgs);
int RunList(const std::vector<std::string>& aArgs);
int RunHistory(const std::vector<std::string>& aArgs);
int RunGang(const std::vector<std::string>& aArgs);
const char* UsageText();

// The --simulate options (--sim-...); false with a message on stderr when one is bad.
bool ReadSimOptions(const CArgs& args, const std::string& strFile, SimTargetOptions& rSim,
                    int& rUnplugAt);

// Takes the port pins of a settings file (section Ports), as the window does; nothing when
// the file does not exist.
void ApplyConfigPins(const std::string& strConfigFile);

// The job log's record of a job that has ended.
JobRecord MakeJobRecord(const CFlashJob& job);
// Appends it to the job log; a log that cannot be written is reported, never fatal.
void KeepJobRecord(const CFlashJob& job);
