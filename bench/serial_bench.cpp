// Serial link figures over a pseudo-terminal: how long a received byte takes to reach the
// owner's thread, and how fast a whole update runs with and without wire timing, in 16- and
// 32-byte records.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "ByteQueue.h"
#include "Firmware.h"
#include "HexImage.h"
#include "HostSteal.h"
#include "PortMap.h"
#include "PtyPair.h"
#include "SimTarget.h"
#include "UpdateRig.h"
#include "WinCom.h"
#include "WireTime.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// Times every block written, to see what an update spends beyond the wire.
class CTimedRig : public CUpdateRig {
public:
    bool Write(const uint8_t* pData, uint32_t nLength) override {
        m_aWrites.push_back({Clock::now(), nLength});
        return CUpdateRig::Write(pData, nLength);
    }
    // Microseconds from each line's write to the next one's, less the wire time of the line and
    // its reply: the reply's way to the engine and the wait for the next step.
    std::vector<double> GapsAfterWire(int nBaud) const {
        std::vector<double> aGaps;
        for (size_t i = 1; i < m_aWrites.size(); ++i) {
            const Written& prev = m_aWrites[i - 1];
            if (prev.nLength <= 3 || m_aWrites[i].nLength <= 3) continue;  // entry sequence
            const double dWireUs = (prev.nLength + 1) * 10.0 * 1e6 / nBaud;
            aGaps.push_back(
                std::chrono::duration<double, std::micro>(m_aWrites[i].t - prev.t).count() -
                dWireUs);
        }
        return aGaps;
    }

private:
    struct Written {
        Clock::time_point t;
        uint32_t nLength;
    };
    std::vector<Written> m_aWrites;
};

// A full update to a simulated target of nType: range(0) data lines of range(1) bytes each;
// range(2) 1: a step right after each received byte, 0: replies wait for the next tick.
void RunUpdate(benchmark::State& state, int nType, bool bWire) {
    const int nDataLines = static_cast<int>(state.range(0));
    const int nRecordBytes = static_cast<int>(state.range(1));
    const int nBaud = GetTargetInfo(nType).nBaud;
    const std::vector<std::string> aLines = MakeFirmware(nType, nDataLines, 7, nRecordBytes);
    const std::string strFile = WriteTempFile(JoinLines(aLines, "\r\n"));
    double dTransfer = 0, dWire = 0, dSteal = 0;
    std::vector<double> aGaps, aTurnarounds;
    for (auto _ : state) {
        SimTargetOptions options;
        options.nType = nType;
        options.bWire = bWire;
        options.bTimeTurnarounds = true;
        CSimTarget target(options);
        target.Start();
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().Pin(8, target.Path());
        CTimedRig rig;
        rig.SetResetButton([&] { target.Reset(); }, 200);
        rig.SetStepAfterBytes(state.range(2) != 0);
        rig.LoadFile(strFile);
        const double dSteal0 = HostStealMs();
        if (!rig.RunUpdate(8, 600000) || rig.Status() != "Update successful") {
            return state.SkipWithError("update failed");
        }
        dTransfer = rig.TransferSeconds();
        dSteal = HostStealMs() - dSteal0;
        state.SetIterationTime(dTransfer);
        // Every byte of every line and reply, ten bits each.
        const double dBytes = static_cast<double>(target.BytesIn() + target.BytesOut());
        dWire = dBytes * 10.0 / nBaud;
        aGaps = rig.GapsAfterWire(nBaud);
        aTurnarounds = target.TurnaroundsUs();
    }
    state.counters["lines_per_s"] = static_cast<double>(aLines.size()) / dTransfer;
    if (!bWire || aGaps.empty()) return;
    state.counters["of_wire_time"] = dTransfer / dWire;
    state.counters["efficiency"] = dWire / dTransfer;
    state.counters["host_steal_ms"] = dSteal;
    state.counters["gap_median_us"] = Percentile(aGaps, 0.5);
    state.counters["gap_p99_us"] = Percentile(aGaps, 0.99);
    // The same seen from the target, as app_bench reports it for the window.
    state.counters["turnaround_median_us"] = Percentile(aTurnarounds, 0.5);
    state.counters["turnaround_p90_us"] = Percentile(aTurnarounds, 0.9);
}

void BM_FullUpdateNoWire(benchmark::State& state) {
    RunUpdate(state, 1, false);
}
BENCHMARK(BM_FullUpdateNoWire)
    ->Args({2000, 16, 0})
    ->Args({2000, 16, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The same 16 KiB of data in 16- and in 32-byte records, tick-paced and stepping after bytes.
void BM_FullUpdateWire115200(benchmark::State& state) {
    RunUpdate(state, 1, true);
}
BENCHMARK(BM_FullUpdateWire115200)
    ->Args({1000, 16, 0})
    ->Args({1000, 16, 1})
    ->Args({500, 32, 0})
    ->Args({500, 32, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_FullUpdateWire19200(benchmark::State& state) {
    RunUpdate(state, 3, true);
}
BENCHMARK(BM_FullUpdateWire19200)
    ->Args({300, 16, 0})
    ->Args({300, 16, 1})
    ->Args({150, 32, 0})
    ->Args({150, 32, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The floor this machine sets: one thread that writes each line the moment its reply is read,
// with no engine, no receive thread and no hand-over, against the same simulated target. With
// bTick a 1 ms timer wakes it as the tool's fast tick wakes the tool, doing nothing else.
class CBareHost {
public:
    CBareHost(const std::string& strPath, bool bTick)
        : m_nFd(::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)),
          m_nTick(bTick ? ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC) : -1) {
        const itimerspec period{{0, 1'000'000}, {0, 1'000'000}};
        if (m_nTick >= 0) ::timerfd_settime(m_nTick, 0, &period, nullptr);
    }
    ~CBareHost() {
        for (int nFd : {m_nFd, m_nTick}) {
            if (nFd >= 0) ::close(nFd);
        }
    }
    CBareHost(const CBareHost&) = delete;
    CBareHost& operator=(const CBareHost&) = delete;

    bool SetRaw(speed_t nSpeed) {
        termios tio{};
        if (m_nFd < 0 || ::tcgetattr(m_nFd, &tio) != 0) return false;
        ::cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        return ::cfsetspeed(&tio, nSpeed) == 0 && ::tcsetattr(m_nFd, TCSANOW, &tio) == 0;
    }
    bool Write(const std::string& strBytes) {
        return ::write(m_nFd, strBytes.data(), strBytes.size()) ==
               static_cast<ssize_t>(strBytes.size());
    }
    // Reads until cWanted came; false after a quiet nTimeoutMs.
    bool ReadUntil(char cWanted, int nTimeoutMs) {
        pollfd fds[2] = {{m_nFd, POLLIN, 0}, {m_nTick, POLLIN, 0}};
        char c = 0;
        while (c != cWanted) {
            if (::poll(fds, m_nTick >= 0 ? 2 : 1, nTimeoutMs) <= 0) return false;
            uint64_t nExpired = 0;
            if ((fds[1].revents & POLLIN) != 0 && ::read(m_nTick, &nExpired, 8) != 8) return false;
            if ((fds[0].revents & POLLIN) != 0 && ::read(m_nFd, &c, 1) != 1) return false;
        }
        return true;
    }

private:
    int m_nFd;
    int m_nTick;
};

void RunBareHost(benchmark::State& state, int nType, speed_t nSpeed) {
    const int nBaud = GetTargetInfo(nType).nBaud;
    const std::string strFile = WriteTempFile(
        JoinLines(MakeFirmware(nType, static_cast<int>(state.range(0)), 7, 16), "\r\n"));
    CHexImage image;
    if (!image.Load(strFile)) return state.SkipWithError("no file");
    double dTransfer = 0, dWire = 0, dSteal = 0;
    std::vector<double> aTurnarounds;
    for (auto _ : state) {
        SimTargetOptions options;
        options.nType = nType;
        options.bWire = true;
        options.bTimeTurnarounds = true;
        CSimTarget target(options);
        CBareHost host(target.Start() ? target.Path() : std::string(), state.range(1) != 0);
        if (!host.SetRaw(nSpeed)) return state.SkipWithError("no port");
        target.Reset();
        // Long enough for the greeting to have come and gone; its text does not matter here.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (!host.Write("^;]") || !host.ReadUntil('?', 2000)) return state.SkipWithError("entry");
        const auto t0 = Clock::now();
        const double dSteal0 = HostStealMs();
        for (int i = 0; i < image.GetLineCount(); ++i) {
            const std::string& strLine = image.LineAt(i);
            if (strLine.size() < 9 || strLine[0] != ':') continue;
            const bool bLast = strLine.compare(7, 2, "01") == 0;
            if (!host.Write(strLine) || !host.ReadUntil(bLast ? '@' : '~', 2000))
                return state.SkipWithError("transfer");
        }
        dTransfer = std::chrono::duration<double>(Clock::now() - t0).count();
        dSteal = HostStealMs() - dSteal0;
        state.SetIterationTime(dTransfer);
        dWire = static_cast<double>(target.BytesIn() + target.BytesOut()) * 10.0 / nBaud;
        aTurnarounds = target.TurnaroundsUs();
    }
    state.counters["efficiency"] = dWire / dTransfer;
    state.counters["host_steal_ms"] = dSteal;
    state.counters["turnaround_median_us"] = Percentile(aTurnarounds, 0.5);
    state.counters["turnaround_p90_us"] = Percentile(aTurnarounds, 0.9);
}

void BM_BareHostWire115200(benchmark::State& state) {
    RunBareHost(state, 1, B115200);
}
BENCHMARK(BM_BareHostWire115200)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_BareHostWire19200(benchmark::State& state) {
    RunBareHost(state, 3, B19200);
}
BENCHMARK(BM_BareHostWire19200)
    ->Args({300, 0})
    ->Args({300, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
