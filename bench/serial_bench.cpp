// Serial link figures over a pseudo-terminal: how long a received byte takes to reach the
// owner's thread, and how fast a whole update runs with and without wire timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "ByteQueue.h"
#include "Firmware.h"
#include "PortMap.h"
#include "PtyPair.h"
#include "SimTarget.h"
#include "UpdateRig.h"
#include "WinCom.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> a, double dP) {
    std::sort(a.begin(), a.end());
    return a[static_cast<size_t>(dP * static_cast<double>(a.size() - 1))];
}

// A byte written at the far end until the owner's handler has it.
void BM_ReplyToOwnerLatency(benchmark::State& state) {
    CPtyPair pty;
    if (!pty.Create()) return state.SkipWithError("no pty");
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().Pin(9, pty.SlavePath());
    bool bGot = false;
    Clock::time_point tGot;
    CByteQueue queue([&](uint32_t, uint32_t) {
        tGot = Clock::now();
        bGot = true;
    });
    CWinCom com;
    com.m_nMsgId = 1;
    com.m_pTarget = &queue;
    if (!com.Open("COM9:115200,N,8,1")) return state.SkipWithError("open failed");
    std::vector<double> aMicros;
    for (auto _ : state) {
        bGot = false;
        const auto t0 = Clock::now();
        pty.WriteAll("~", 1);
        while (!bGot)
            queue.PumpFor(1);
        const double dUs = std::chrono::duration<double, std::micro>(tGot - t0).count();
        aMicros.push_back(dUs);
        state.SetIterationTime(dUs / 1e6);
    }
    com.Close();
    state.counters["median_us"] = Percentile(aMicros, 0.5);
    state.counters["p99_us"] = Percentile(aMicros, 0.99);
}
BENCHMARK(BM_ReplyToOwnerLatency)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);

// A full update of nLines data lines to a simulated target of nType.
void RunUpdate(benchmark::State& state, int nType, bool bWire) {
    const int nDataLines = static_cast<int>(state.range(0));
    const std::vector<std::string> aLines = MakeFirmware(nType, nDataLines);
    const std::string strFile = WriteTempFile(JoinLines(aLines, "\r\n"));
    double dTransfer = 0, dWire = 0;
    for (auto _ : state) {
        SimTargetOptions options;
        options.nType = nType;
        options.bWire = bWire;
        CSimTarget target(options);
        target.Start();
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().Pin(8, target.Path());
        CUpdateRig rig;
        rig.SetResetButton([&] { target.Reset(); }, 200);
        rig.LoadFile(strFile);
        if (!rig.RunUpdate(8, 600000) || rig.Status() != "Update successful") {
            return state.SkipWithError("update failed");
        }
        dTransfer = rig.TransferSeconds();
        state.SetIterationTime(dTransfer);
        // Every byte of every line and reply, ten bits each.
        const double dBytes = static_cast<double>(target.BytesIn() + target.BytesOut());
        dWire = dBytes * 10.0 / GetTargetInfo(nType).nBaud;
    }
    state.counters["lines_per_s"] = static_cast<double>(aLines.size()) / dTransfer;
    if (bWire) state.counters["of_wire_time"] = dTransfer / dWire;
}

void BM_FullUpdateNoWire(benchmark::State& state) {
    RunUpdate(state, 1, false);
}
BENCHMARK(BM_FullUpdateNoWire)
    ->Arg(2000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_FullUpdateWire115200(benchmark::State& state) {
    RunUpdate(state, 1, true);
}
BENCHMARK(BM_FullUpdateWire115200)
    ->Arg(1000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_FullUpdateWire19200(benchmark::State& state) {
    RunUpdate(state, 3, true);
}
BENCHMARK(BM_FullUpdateWire19200)
    ->Arg(300)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
