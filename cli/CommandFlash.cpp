#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "Args.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "FlashJob.h"
#include "JobLoop.h"
#include "PortName.h"
#include "Reporters.h"
#include "SimTarget.h"

// Options of the bundled simulated target; false with a message on stderr when one is bad.
bool ReadSimOptions(const CArgs& args, const std::string& strFile, SimTargetOptions& rSim,
                    int& rUnplugAt) {
    auto bad = [](const char* szOption) {
        std::fprintf(stderr, "korvi-flash: bad value for --%s\n", szOption);
        return false;
    };
    long long n = 0;
    const std::string strType = args.Value("simulate");
    if (strType.empty()) {
        CHexImage image;
        rSim.nType = image.Load(strFile) && image.GetTargetType() != 0 ? image.GetTargetType() : 1;
    } else if (CArgs::ToInt(strType, 0, 5, n)) {
        rSim.nType = static_cast<int>(n);
    } else {
        return bad("simulate");
    }
    rSim.nGreetEveryMs = 300;
    rSim.bWire = !args.Has("sim-no-wire");
    if (args.Has("sim-seed")) {
        if (!CArgs::ToInt(args.Value("sim-seed"), 0, 0xFFFFFFFFLL, n)) return bad("sim-seed");
        rSim.faults.nSeed = static_cast<uint32_t>(n);
    }
    const std::pair<const char*, double*> aChances[] = {
        {"sim-checksum-errors", &rSim.faults.dChecksumError},
        {"sim-page-errors", &rSim.faults.dPageError},
        {"sim-lost-replies", &rSim.faults.dLostReply},
        {"sim-noise", &rSim.faults.dNoise}};
    for (const auto& [szName, pValue] : aChances) {
        if (args.Has(szName) && !CArgs::ToDouble(args.Value(szName), 0, 1, *pValue))
            return bad(szName);
    }
    if (args.Has("sim-file-error-at")) {
        if (!CArgs::ToInt(args.Value("sim-file-error-at"), 0, 1 << 30, n))
            return bad("sim-file-error-at");
        rSim.faults.nFileErrorAtRecord = static_cast<int>(n);
    }
    if (args.Has("sim-unplug-at")) {
        if (!CArgs::ToInt(args.Value("sim-unplug-at"), 0, 1 << 30, n)) return bad("sim-unplug-at");
        rUnplugAt = static_cast<int>(n);
    }
    return true;
}

namespace {

int Usage(const std::string& strProblem) {
    std::fprintf(stderr, "korvi-flash: %s\n(korvi-flash --help shows the usage)\n",
                 strProblem.c_str());
    return kExitUsage;
}

}  // namespace

int RunFlash(const std::vector<std::string>& aArgs) {
    CArgs args;
    if (!args.Parse(aArgs,
                    {"port", "wait", "sim-seed", "sim-checksum-errors", "sim-page-errors",
                     "sim-lost-replies", "sim-noise", "sim-file-error-at", "sim-unplug-at"},
                    {"simulate"}, {"dry-run", "json", "quiet", "sim-no-wire"})) {
        return Usage(args.Error());
    }
    if (args.Positional().size() != 1) return Usage("flash takes one FILE");
    const bool bSimulate = args.Has("simulate");
    if (bSimulate == args.Has("port")) return Usage("flash needs --port PORT or --simulate");
    for (const char* szSim :
         {"sim-seed", "sim-checksum-errors", "sim-page-errors", "sim-lost-replies", "sim-noise",
          "sim-file-error-at", "sim-unplug-at", "sim-no-wire"}) {
        if (!bSimulate && args.Has(szSim))
            return Usage(std::string("--") + szSim + " needs --simulate");
    }
    FlashJobOptions options;
    options.strFile = args.Positional().front();
    options.bDryRun = args.Has("dry-run");
    long long nWait = 60;
    if (args.Has("wait") && !CArgs::ToInt(args.Value("wait"), 0, 1000000, nWait))
        return Usage("--wait takes whole seconds, 0 for no limit");
    options.nWaitSeconds = static_cast<int>(nWait);

    SimTargetOptions sim;
    int nUnplugAt = -1;
    std::unique_ptr<CSimTarget> pSim;
    if (bSimulate) {
        if (!ReadSimOptions(args, options.strFile, sim, nUnplugAt)) return kExitUsage;
        pSim = std::make_unique<CSimTarget>(sim);
        if (!pSim->Start()) {
            std::fprintf(stderr, "korvi-flash: cannot create a pseudo-terminal\n");
            return kExitPort;
        }
        options.strPort = "simulated";
        options.strDevice = pSim->Path();
    } else {
        options.strPort = args.Value("port");
        const PortMatch match = ResolvePortName(options.strPort, "Config.xml");
        if (match.ReportAmbiguous(options.strPort)) return kExitUsage;
        options.strDevice = match.strDevice;
        options.strPortProblem = match.strProblem;
    }

    CFanOut fanOut;
    CHumanReporter human(stderr, CHumanReporter::StyleFor(stderr, args.Has("quiet")));
    CJsonReporter json(stdout);
    fanOut.Add(human);
    if (args.Has("json")) fanOut.Add(json);

    CJobLoop loop;  // SIGINT and SIGTERM from here on end the job cleanly
    CFlashJob job(options, fanOut);
    job.SetEndHook(KeepJobRecord);
    if (pSim && nUnplugAt >= 0) {
        CSimTarget& target = *pSim;
        job.SetStepHook([&target, nUnplugAt] {
            if (target.Counters().nRecords >= nUnplugAt) target.HangUp();
        });
    }
    loop.Add(job);
    job.Begin();
    loop.Run();
    return job.End().nCode;
}

JobRecord MakeJobRecord(const CFlashJob& job) {
    const JobStartInfo& info = job.Info();
    const JobEnd& end = job.End();
    JobRecord r;
    r.strTime = UtcTimeText(job.RecordTime());
    r.strHost = HostName();
    r.strTool = "korvi-flash";
    r.strVersion = KORVI_VERSION;
    // In any case, as the port was named: "history --port COM3" finds a job run on "com3".
    if (const int nCom = ComNumber(info.strPort); nCom != 0) r.nComNumber = nCom;
    r.strDevice = info.strDevice.empty() ? info.strPort : info.strDevice;
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(info.strFile, ec);
    r.strFile = ec ? info.strFile : absolute.string();
    r.strSha256 = info.strSha256;
    r.nFileSize = info.nFileSize;
    r.nTargetType = info.nTargetType;
    r.nBaud = info.nBaud;
    r.strResult = end.strMessage;
    r.nErrorCount = job.ErrorCount();
    r.nLinesSent = end.nLinesSent;
    r.dDurationS = job.RecordSeconds();
    r.nExitCode = end.nCode;
    return r;
}

void KeepJobRecord(const CFlashJob& job) {
    const std::string strLog = DefaultJobLogPath();
    const std::string strProblem =
        strLog.empty() ? "no home folder" : AppendJobRecord(MakeJobRecord(job), strLog);
    if (!strProblem.empty()) {
        std::fprintf(stderr, "korvi-flash: the job record was not kept (%s): %s\n", strLog.c_str(),
                     strProblem.c_str());
    }
}
