// korvi-flash run as scripts run it: complete updates against the simulated target with wire
// timing (the transfer time next to the wire time of its lines and replies, as the window's
// figure is taken), and the CPU the program uses while it waits for a reset.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "Firmware.h"
#include "HexImage.h"
#include "HostSteal.h"
#include "PtyPair.h"
#include "WireTime.h"

namespace {

// Runs korvi-flash to its end; its JSON events' last line.
nlohmann::json RunFlash(const std::vector<std::string>& aArgs) {
    std::vector<std::string> aAll = {KORVI_FLASH_EXE};
    aAll.insert(aAll.end(), aArgs.begin(), aArgs.end());
    const std::string strOut = RunChild(aAll).strOut;
    const size_t nLast = strOut.rfind('\n', strOut.size() - 2);
    const std::string strLast = strOut.substr(nLast == std::string::npos ? 0 : nLast + 1);
    return nlohmann::json::parse(strLast, nullptr, false);
}

// A complete update through korvi-flash: arg 0 the target type, arg 1 data lines (0: the
// bundled sample of that type).
void BM_CliUpdateWire(benchmark::State& state) {
    const int nType = static_cast<int>(state.range(0));
    const int nLines = static_cast<int>(state.range(1));
    const std::string strFile =
        nLines == 0 ? std::string(KORVI_SAMPLES_DIR "/korvi-type") + std::to_string(nType) + ".hex"
                    : WriteTempFile(JoinLines(MakeFirmware(nType, nLines), "\r\n"));
    const int nBaud = GetTargetInfo(nType).nBaud;
    double dTransfer = 0;
    double dSteal = 0;
    for (auto _ : state) {
        const double dSteal0 = HostStealMs();
        const nlohmann::json end = RunFlash({"flash", strFile, "--simulate", "--json"});
        if (!end.is_object() || end.value("code", -1) != 0) return state.SkipWithError("failed");
        dTransfer = end["transfer_s"];
        dSteal = HostStealMs() - dSteal0;  // over the whole process, start-up included
        state.SetIterationTime(dTransfer);
    }
    const double dWire = WireSeconds(strFile, nBaud);
    state.counters["transfer_s"] = dTransfer;
    state.counters["wire_s"] = dWire;
    state.counters["efficiency"] = dWire / dTransfer;
    state.counters["host_steal_ms"] = dSteal;
}
BENCHMARK(BM_CliUpdateWire)
    ->Args({1, 0})
    ->Args({3, 0})
    ->Args({1, 1000})
    ->Args({3, 300})
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

// CPU time of the whole korvi-flash process (all threads) from /proc, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string strStat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(strStat.substr(strStat.rfind(')') + 2));
    std::string strField;
    unsigned long long nUser = 0, nSystem = 0;
    for (int i = 3; i <= 15 && fields >> strField; ++i) {
        if (i == 14) nUser = std::stoull(strField);
        if (i == 15) nSystem = std::stoull(strField);
    }
    return static_cast<double>(nUser + nSystem) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// korvi-flash waiting for the reset of a device that never greets: share of one core.
void BM_CliWaitingForReset(benchmark::State& state) {
    CPtyPair pty;
    if (!pty.Create()) return state.SkipWithError("no pty");
    const std::string strFile = KORVI_SAMPLES_DIR "/korvi-type3.hex";
    const int nSeconds = static_cast<int>(state.range(0));
    double dShare = 0;
    for (auto _ : state) {
        const int nNull = ::open("/dev/null", O_WRONLY);
        const pid_t pid = SpawnChild(
            {KORVI_FLASH_EXE, "flash", strFile, "--port", pty.SlavePath(), "--wait", "0"}, nNull);
        ::close(nNull);
        std::this_thread::sleep_for(std::chrono::seconds(2));  // opened, asking for the reset
        const double dCpu0 = CpuSeconds(pid);
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
        const double dCpu = CpuSeconds(pid) - dCpu0;
        const double dWall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ::kill(pid, SIGINT);
        int nStatus = 0;
        ::waitpid(pid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 130)
            return state.SkipWithError("not ended by the interrupt");
        dShare = dCpu / dWall;
        state.SetIterationTime(dWall);
    }
    state.counters["cpu_pct_of_core"] = 100.0 * dShare;
}
BENCHMARK(BM_CliWaitingForReset)->Arg(20)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
