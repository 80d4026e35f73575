// korvi-flash gang against several simulated targets with wire timing: each slot's efficiency
// next to that of a single slot measured in the same run, and the CPU of the whole station.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Child.h"
#include "Firmware.h"
#include "HexImage.h"
#include "SimTarget.h"
#include "WireTime.h"

namespace {

struct StationRun {
    std::vector<double> aTransfer;  // per slot, from its job_end
    double dWall = 0;
    double dCpu = 0;  // user + system of the station process, all its threads
    bool bOk = false;
};

StationRun RunStation(const std::string& strFile, int nSlots) {
    StationRun run;
    std::vector<std::unique_ptr<CSimTarget>> aTargets;
    std::vector<std::string> aArgs = {KORVI_FLASH_EXE, "gang", strFile, "--json", "--quiet"};
    for (int i = 0; i < nSlots; ++i) {
        SimTargetOptions o;
        o.nType = 1;
        o.bWire = true;
        o.bPunctual = false;  // eight targets polling would take the cores the station needs
        o.nGreetEveryMs = 100;
        aTargets.push_back(std::make_unique<CSimTarget>(o));
        if (!aTargets.back()->Start()) return run;
        aArgs.insert(aArgs.end(), {"--port", aTargets.back()->Path()});
    }
    const auto t0 = std::chrono::steady_clock::now();
    const ChildRun child = RunChild(aArgs);
    if (!child.bStarted) return run;
    run.dWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
    run.dCpu = seconds(child.usage.ru_utime) + seconds(child.usage.ru_stime);
    std::istringstream lines(child.strOut);
    for (std::string strLine; std::getline(lines, strLine);) {
        const auto j = nlohmann::json::parse(strLine, nullptr, false);
        if (j.is_object() && j["event"] == "job_end" && j["code"] == 0)
            run.aTransfer.push_back(j["transfer_s"]);
    }
    run.bOk = WIFEXITED(child.nStatus) && WEXITSTATUS(child.nStatus) == 0 &&
              static_cast<int>(run.aTransfer.size()) == nSlots;
    return run;
}

// One slot, then arg 0 slots at once, of a type-1 file (115 200 baud) of arg 1 data lines.
void BM_StationWire(benchmark::State& state) {
    const int nSlots = static_cast<int>(state.range(0));
    const std::string strFile =
        WriteTempFile(JoinLines(MakeFirmware(1, static_cast<int>(state.range(1))), "\r\n"));
    const double dWire = WireSeconds(strFile, GetTargetInfo(1).nBaud);
    StationRun single;
    StationRun many;
    for (auto _ : state) {
        single = RunStation(strFile, 1);
        many = RunStation(strFile, nSlots);
        if (!single.bOk || !many.bOk) return state.SkipWithError("a slot failed");
        state.SetIterationTime(many.dWall);
    }
    const double dSingle = dWire / single.aTransfer.front();
    const auto [itMin, itMax] = std::minmax_element(many.aTransfer.begin(), many.aTransfer.end());
    state.counters["single_efficiency"] = dSingle;
    state.counters["slot_efficiency_min"] = dWire / *itMax;
    state.counters["slot_efficiency_max"] = dWire / *itMin;
    state.counters["worst_of_single"] = dWire / *itMax / dSingle;
    state.counters["station_cpu_pct_of_core"] = 100.0 * many.dCpu / many.dWall;
    state.counters["single_cpu_pct_of_core"] = 100.0 * single.dCpu / single.dWall;
}
BENCHMARK(BM_StationWire)
    ->Args({8, 1000})
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
