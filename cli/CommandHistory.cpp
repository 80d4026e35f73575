#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "Args.h"
#include "Commands.h"
#include "ExitCodes.h"

namespace {

std::string Lower(std::string str) {
    std::transform(str.begin(), str.end(), str.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return str;
}

// A date or time given as a prefix of the records' ISO 8601 times ("2026-12", "2026-12-07",
// "2026-12-07T17"): since takes records at or after it, until at or before it.
bool InTime(const std::string& strTime, const std::string& strSince, const std::string& strUntil) {
    if (!strSince.empty() && strTime.substr(0, strSince.size()) < strSince) return false;
    if (!strUntil.empty() && strTime.substr(0, strUntil.size()) > strUntil) return false;
    return true;
}

bool OnPort(const JobRecord& r, const std::string& strPort) {
    if (strPort.empty()) return true;
    if (Lower(strPort) == "com" + std::to_string(r.nComNumber)) return true;
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(strPort, ec);
    return r.strDevice == strPort || (!ec && r.strDevice == canonical.string()) ||
           std::filesystem::path(r.strDevice).filename() == strPort;
}

std::string Csv(const std::string& str) {
    if (str.find_first_of(",\"\r\n") == std::string::npos) return str;
    std::string out = "\"";
    for (const char c : str) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string PortOf(const JobRecord& r) {
    return r.nComNumber > 0 ? "COM" + std::to_string(r.nComNumber) : r.strDevice;
}

}  // namespace

int RunHistory(const std::vector<std::string>& aArgs) {
    CArgs args;
    if (!args.Parse(aArgs, {"since", "until", "port", "sha256"}, {}, {"csv", "json"}) ||
        !args.Positional().empty() || (args.Has("csv") && args.Has("json"))) {
        std::fprintf(stderr, "korvi-flash: %s\n(korvi-flash --help shows the usage)\n",
                     args.Error().empty() ? "history takes options only, --csv or --json"
                                          : args.Error().c_str());
        return kExitUsage;
    }
    const std::string strLog = DefaultJobLogPath();
    JobLog log;
    if (const std::string strProblem = ReadJobLog(strLog, log); !strProblem.empty()) {
        std::fprintf(stderr, "korvi-flash: cannot read %s: %s\n", strLog.c_str(),
                     strProblem.c_str());
        return kExitFileRefused;
    }
    const std::string strSha = Lower(args.Value("sha256"));
    std::vector<const JobRecord*> aShown;
    for (const JobRecord& r : log.aRecords) {
        if (InTime(r.strTime, args.Value("since"), args.Value("until")) &&
            OnPort(r, args.Value("port")) && r.strSha256.compare(0, strSha.size(), strSha) == 0)
            aShown.push_back(&r);
    }
    if (args.Has("json")) {
        for (const JobRecord* p : aShown)
            std::printf("%s\n", JobRecordToJson(*p).c_str());
    } else if (args.Has("csv")) {
        std::printf(
            "time,host,tool,version,port,device,file,sha256,size,type,baud,result,"
            "errors,lines_sent,duration_s,exit_code\n");
        for (const JobRecord* p : aShown) {
            const JobRecord& r = *p;
            std::printf("%s,%s,%s,%s,%s,%s,%s,%s,%llu,%d,%d,%s,%d,%lld,%.3f,%s\n",
                        Csv(r.strTime).c_str(), Csv(r.strHost).c_str(), Csv(r.strTool).c_str(),
                        Csv(r.strVersion).c_str(), Csv(PortOf(r)).c_str(), Csv(r.strDevice).c_str(),
                        Csv(r.strFile).c_str(), r.strSha256.c_str(),
                        static_cast<unsigned long long>(r.nFileSize), r.nTargetType, r.nBaud,
                        Csv(r.strResult).c_str(), r.nErrorCount,
                        static_cast<long long>(r.nLinesSent), r.dDurationS,
                        r.nExitCode ? std::to_string(*r.nExitCode).c_str() : "");
        }
    } else {
        std::printf("%-19s  %-13s  %-14s  %-24s  %-8s  %4s  %6s  %7s  %s\n", "TIME", "TOOL", "PORT",
                    "FILE", "SHA256", "TYPE", "LINES", "SECONDS", "RESULT");
        for (const JobRecord* p : aShown) {
            const JobRecord& r = *p;
            std::printf("%-19.19s  %-13s  %-14s  %-24s  %-8.8s  %4d  %6lld  %7.1f  %s\n",
                        r.strTime.c_str(), r.strTool.c_str(), PortOf(r).c_str(),
                        std::filesystem::path(r.strFile).filename().c_str(), r.strSha256.c_str(),
                        r.nTargetType, static_cast<long long>(r.nLinesSent), r.dDurationS,
                        r.strResult.c_str());
        }
    }
    if (log.nDamaged > 0)
        std::fprintf(stderr, "korvi-flash: %d damaged lines in %s skipped\n", log.nDamaged,
                     strLog.c_str());
    return kExitOk;
}
