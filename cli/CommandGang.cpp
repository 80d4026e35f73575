// korvi-flash gang: one file into a row of devices at once, or a station that flashes each
// board as it is plugged in.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "Args.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "FlashJob.h"
#include "HexCheck.h"
#include "PortName.h"
#include "SimTarget.h"
#include "Station.h"

namespace fs = std::filesystem;

namespace {

int Usage(const std::string& strProblem) {
    std::fprintf(stderr, "korvi-flash: %s\n(korvi-flash --help shows the usage)\n",
                 strProblem.c_str());
    return kExitUsage;
}

// "A=/dev/ttyUSB0" names the slot; a bare port is slot 1, 2, ... in order.
StationSlot SlotFromPort(const std::string& strArg, size_t nIndex) {
    const size_t nEq = strArg.find('=');
    if (nEq != std::string::npos && nEq > 0 && strArg.find_first_of("/:") > nEq) {
        return {strArg.substr(0, nEq), strArg.substr(nEq + 1)};
    }
    return {std::to_string(nIndex + 1), strArg};
}

// A file the station would only fail with, in every slot: refused once, up front.
bool FileIsFit(const std::string& strFile) {
    CHexImage image;
    if (!image.Load(strFile)) {
        std::fprintf(stderr, "korvi-flash: cannot read %s\n", strFile.c_str());
        return false;
    }
    const HexCheckResult check = CheckHexImage(image);
    if (!check.IsValid()) {
        std::fprintf(stderr,
                     "korvi-flash: %d error%s in %s; nothing was sent (korvi-flash check %s)\n",
                     static_cast<int>(check.nErrorCount), check.nErrorCount == 1 ? "" : "s",
                     strFile.c_str(), strFile.c_str());
        return false;
    }
    if (image.GetTargetType() == 0) {
        std::fprintf(stderr, "korvi-flash: Unknown file! No target signature in %s\n",
                     strFile.c_str());
        return false;
    }
    return true;
}

// The folder of the simulated ports' links, removed on every way out.
struct CSimDir {
    std::string strPath;
    CSimDir() = default;
    CSimDir(const CSimDir&) = delete;
    CSimDir& operator=(const CSimDir&) = delete;
    ~CSimDir() {
        std::error_code ec;
        if (!strPath.empty()) fs::remove_all(strPath, ec);
    }
};

// Plays the operator of a simulated station: a board whose update has ended (or failed) is
// taken off a second later, and the next one plugged in a second after that.
class CSimHand {
public:
    CSimHand(std::vector<std::unique_ptr<CSimTarget>>& aTargets,
             std::vector<SimTargetOptions> aOptions)
        : m_aTargets(aTargets), m_aOptions(std::move(aOptions)) {
        m_thread = std::thread([this] { Run(); });
    }
    ~CSimHand() {
        m_bRun = false;
        m_thread.join();
    }
    CSimHand(const CSimHand&) = delete;
    CSimHand& operator=(const CSimHand&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    void Run() {
        using Phase = CBootloaderModel::Phase;
        std::vector<Clock::time_point> aSince(m_aTargets.size(), Clock::time_point::max());
        while (m_bRun) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto now = Clock::now();
            for (size_t i = 0; i < m_aTargets.size(); ++i) {
                auto& pTarget = m_aTargets[i];
                // Entered before and no longer taking records: restarted into its bootloader.
                const bool bEnded = pTarget && pTarget->Counters().nEntries > 0 &&
                                    pTarget->GetPhase() != Phase::Records;
                if (pTarget && !bEnded) continue;
                if (aSince[i] == Clock::time_point::max()) aSince[i] = now;
                if (now - aSince[i] < std::chrono::seconds(1)) continue;
                aSince[i] = Clock::time_point::max();
                if (pTarget) {
                    pTarget.reset();  // its link goes with it
                } else {
                    pTarget = std::make_unique<CSimTarget>(m_aOptions[i]);
                    pTarget->Start();
                }
            }
        }
    }

    std::vector<std::unique_ptr<CSimTarget>>& m_aTargets;
    std::vector<SimTargetOptions> m_aOptions;
    std::atomic<bool> m_bRun{true};
    std::thread m_thread;
};

}  // namespace

int RunGang(const std::vector<std::string>& aArgs) {
    CArgs args;
    if (!args.Parse(aArgs,
                    {"port", "slots", "wait", "count", "max-failures", "lot", "station",
                     "sim-slots", "sim-seed", "sim-checksum-errors", "sim-page-errors",
                     "sim-lost-replies", "sim-noise", "sim-file-error-at", "sim-unplug-at"},
                    {"simulate"}, {"watch", "json", "quiet", "sim-no-wire"})) {
        return Usage(args.Error());
    }
    if (args.Positional().size() != 1) return Usage("gang takes one FILE");
    const bool bSimulate = args.Has("simulate");
    if (static_cast<int>(args.Has("port")) + args.Has("slots") + bSimulate != 1)
        return Usage("gang needs --port PORT (repeated), --slots FILE or --simulate");
    for (const char* szSim :
         {"sim-slots", "sim-seed", "sim-checksum-errors", "sim-page-errors", "sim-lost-replies",
          "sim-noise", "sim-file-error-at", "sim-unplug-at", "sim-no-wire"}) {
        if (!bSimulate && args.Has(szSim))
            return Usage(std::string("--") + szSim + " needs --simulate");
    }
    StationOptions options;
    options.strFile = args.Positional().front();
    options.bWatch = args.Has("watch");
    options.bJson = args.Has("json");
    options.bQuiet = args.Has("quiet");
    options.strLot = args.Value("lot");
    options.strStation = args.Value("station", HostName());
    options.strLogPath = DefaultJobLogPath();
    long long n = 0;
    const std::pair<const char*, int*> aNumbers[] = {{"wait", &options.nWaitSeconds},
                                                     {"count", &options.nCount},
                                                     {"max-failures", &options.nMaxFailures}};
    for (const auto& [szName, pValue] : aNumbers) {
        if (!args.Has(szName)) continue;
        if (!CArgs::ToInt(args.Value(szName), 0, 1000000, n))
            return Usage(std::string("--") + szName + " takes a whole number");
        *pValue = static_cast<int>(n);
    }
    if (!options.bWatch && (args.Has("count") || args.Has("max-failures")))
        return Usage("--count and --max-failures need --watch");

    // Simulated slots: a target each behind a link of its own, sim1, sim2, ...
    CSimDir simDir;  // declared first: gone after the targets that have links in it
    std::vector<std::unique_ptr<CSimTarget>> aTargets;
    std::vector<SimTargetOptions> aSimOptions;
    int nUnplugAt = -1;
    if (bSimulate) {
        SimTargetOptions sim;
        if (!ReadSimOptions(args, options.strFile, sim, nUnplugAt)) return kExitUsage;
        if (options.bWatch && nUnplugAt >= 0) return Usage("--sim-unplug-at is not for --watch");
        if (!CArgs::ToInt(args.Value("sim-slots", "2"), 1, 64, n))
            return Usage("--sim-slots takes 1..64");
        std::error_code ec;
        std::string strDir = (fs::temp_directory_path(ec) / "korvi-gang-XXXXXX").string();
        if (ec || ::mkdtemp(strDir.data()) == nullptr) {
            std::fprintf(stderr, "korvi-flash: cannot make a folder for the simulated ports\n");
            return kExitPort;
        }
        simDir.strPath = strDir;
        for (int i = 0; i < n; ++i) {
            const std::string strName = "sim" + std::to_string(i + 1);
            SimTargetOptions one = sim;
            one.faults.nSeed = sim.faults.nSeed + static_cast<uint32_t>(i);
            one.strLink = (fs::path(simDir.strPath) / strName).string();
            aSimOptions.push_back(one);
            aTargets.push_back(std::make_unique<CSimTarget>(one));
            if (!aTargets.back()->Start()) {
                std::fprintf(stderr, "korvi-flash: cannot create a pseudo-terminal\n");
                return kExitPort;
            }
            options.aSlots.push_back({strName, one.strLink});
        }
    } else if (args.Has("slots")) {
        const std::string strProblem = ReadStationFile(args.Value("slots"), options.aSlots);
        if (!strProblem.empty()) return Usage(strProblem);
    } else {
        for (const std::string& strArg : args.Values("port"))
            options.aSlots.push_back(SlotFromPort(strArg, options.aSlots.size()));
    }

    std::set<std::string> names;
    std::set<std::string> devices;
    for (const StationSlot& slot : options.aSlots) {
        if (!names.insert(slot.strName).second) return Usage("two slots named " + slot.strName);
        // A station would wait on it for ever.
        if (slot.strPort.empty()) return Usage("slot " + slot.strName + " has no port");
        // Such a number would go to another board as boards come and go: one left on its
        // socket could be flashed twice, and a board plugged in later is never seen.
        if (options.bWatch && IsNumberedByPosition(slot.strPort, "Config.xml")) {
            return Usage("--watch needs ports that stay with their socket: slot " + slot.strName +
                         " names " + slot.strPort +
                         ", which no pin in Config.xml holds; name its /dev/serial/by-path link");
        }
        const PortMatch m = ResolvePortName(slot.strPort, "Config.xml");
        if (m.ReportAmbiguous(slot.strPort)) return kExitUsage;
        // A port not there yet goes by its name: both slots would start on its board.
        if (!devices.insert(m.strDevice.empty() ? slot.strPort : m.strDevice).second)
            return Usage("slot " + slot.strName +
                         " names a port another slot has: " + slot.strPort);
    }
    if (!FileIsFit(options.strFile)) return kExitFileRefused;

    int nCode = kExitOk;
    {
        CStation station(options);
        if (nUnplugAt >= 0) {
            station.SetJobHook([&aTargets, nUnplugAt](size_t nSlot, CFlashJob& job) {
                CSimTarget& target = *aTargets[nSlot];
                job.SetStepHook([&target, nUnplugAt] {
                    if (target.Counters().nRecords >= nUnplugAt) target.HangUp();
                });
            });
        }
        std::unique_ptr<CSimHand> pHand;
        if (bSimulate && options.bWatch) pHand = std::make_unique<CSimHand>(aTargets, aSimOptions);
        nCode = station.Run();
    }
    return nCode;
}
