// Firmware loading with target detection against a plain line read of the same file, and the
// engine's own cost per line of an update against an instantly answering target.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "Firmware.h"
#include "HexCheck.h"
#include "HexImage.h"
#include "HexRecord.h"
#include "UpdateEngine.h"

namespace {

// nLines lines of 16-byte data records (CR LF ends) with a type 3 marker near the end.
std::string MakeHexFile(int nLines, const char* szName) {
    const auto path = ProcessTempDir() / (std::string(szName) + ".hex");
    std::ofstream file(path, std::ios::binary);
    std::vector<uint8_t> abData(16);
    uint32_t nRandom = 1;
    for (int i = 0; i < nLines - 1; ++i) {
        if (i % 4096 == 0) {
            file << MakeHexLinearRecord(static_cast<uint16_t>(i >> 12)) << "\r\n";
            ++i;
        }
        for (uint8_t& n : abData) {
            nRandom = nRandom * 1103515245u + 12345u;
            n = static_cast<uint8_t>(nRandom >> 16);
        }
        if (i == nLines - 100) std::copy_n("QNTPRX170_)*#", 13, abData.begin());
        file << MakeHexRecord(0, static_cast<uint16_t>(16 * (i % 4096)), abData) << "\r\n";
    }
    file << MakeHexEofRecord() << "\r\n";
    return path.string();
}

const std::string& BigFile() {
    static const std::string s_strPath = MakeHexFile(230000, "korvi_bench_10mb");
    return s_strPath;
}

double SecondsOf(auto&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t GetlinePass(const std::string& strPath) {
    std::ifstream file(strPath);
    std::string strLine;
    size_t nLines = 0;
    while (std::getline(file, strLine))
        ++nLines;
    return nLines;
}

void BM_GetlineLoop(benchmark::State& state) {
    const std::string& strPath = BigFile();
    for (auto _ : state)
        benchmark::DoNotOptimize(GetlinePass(strPath));
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(strPath)));
}

void BM_LoadAndDetect(benchmark::State& state) {
    const std::string& strPath = BigFile();
    CHexImage image;
    image.BuildSignatures();
    double dLoad = 0;
    double dGetline = 0;
    for (auto _ : state) {
        dLoad += SecondsOf([&] { benchmark::DoNotOptimize(image.Load(strPath)); });
        state.PauseTiming();
        dGetline += SecondsOf([&] { benchmark::DoNotOptimize(GetlinePass(strPath)); });
        state.ResumeTiming();
    }
    if (image.GetTargetType() != 3) state.SkipWithError("marker not found");
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(strPath)));
    state.counters["lines"] = image.GetLineCount();
    state.counters["x_getline"] = dLoad / dGetline;
}

// The pre-flight check of the loaded file, timed on its own and together with the load, each
// against the same plain line read.
void BM_LoadAndCheck(benchmark::State& state) {
    const std::string& strPath = BigFile();
    CHexImage image;
    image.BuildSignatures();
    double dLoad = 0;
    double dCheck = 0;
    double dGetline = 0;
    size_t nErrors = 0;
    for (auto _ : state) {
        dLoad += SecondsOf([&] { benchmark::DoNotOptimize(image.Load(strPath)); });
        dCheck += SecondsOf([&] { nErrors += CheckHexImage(image).nErrorCount; });
        state.PauseTiming();
        dGetline += SecondsOf([&] { benchmark::DoNotOptimize(GetlinePass(strPath)); });
        state.ResumeTiming();
    }
    if (nErrors != 0) state.SkipWithError("the generated file has errors");
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(strPath)));
    state.counters["check_x_getline"] = dCheck / dGetline;
    state.counters["x_getline"] = (dLoad + dCheck) / dGetline;
}

// Answers every line at once: "~", or "@" for the end-of-file record.
class CInstantTarget : public CUpdateHost {
public:
    bool IsOpen() override { return true; }
    void Close() override {}
    bool Open(const std::string&) override { return true; }
    bool Write(const uint8_t* pData, uint32_t nLength) override {
        m_chReply = (nLength > 8 && pData[8] == '1') ? '@' : (nLength == 3 ? '?' : '~');
        return true;
    }
    void SetProgressPos(int) override {}
    void SetStatusText(const std::string& str) override { benchmark::DoNotOptimize(str.data()); }
    void SetErrorCountText(const std::string&) override {}
    void Refresh() override {}
    void ShowMessage(const std::string&) override {}

    char m_chReply = 0;
};

// Start, greeting and entry, then every line answered before the next fast tick.
void RunUpdate(CUpdateEngine& engine, CInstantTarget& host) {
    engine.Start(1);
    engine.OnTimer(false);
    engine.OnReceivedByte('!');
    engine.OnTimer(false);
    engine.OnTimer(false);  // entry sequence, answered "?"
    while (engine.GetState() != Finished) {
        if (host.m_chReply != 0) engine.OnReceivedByte(static_cast<uint8_t>(host.m_chReply));
        host.m_chReply = 0;
        engine.OnTimer(false);
    }
}

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string strLine;
    while (std::getline(status, strLine)) {
        if (strLine.rfind("VmHWM:", 0) == 0) return std::stol(strLine.substr(6));
    }
    return 0;
}

// One 100 MB line: the peak memory a load adds, in multiples of the file's size.
void BM_LoadHugeLineMemory(benchmark::State& state) {
    constexpr size_t kLineSize = 100u << 20;
    const std::string strHead = ":FF000000514E545052583137305F292A23";
    const auto path = ProcessTempDir() / "korvi_bench_huge_line.hex";
    std::ofstream(path, std::ios::binary)
        << strHead << std::string(kLineSize - strHead.size(), '0') << "\n:00000001FF\n";
    long nGrowthKiB = 0;
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak from here
        const long nBefore = PeakResidentKiB();
        CHexImage image;
        benchmark::DoNotOptimize(image.Load(path.string()));
        nGrowthKiB = PeakResidentKiB() - nBefore;
    }
    std::filesystem::remove(path);
    state.counters["peak_growth_MiB"] = static_cast<double>(nGrowthKiB) / 1024;
    state.counters["x_file_size"] = static_cast<double>(nGrowthKiB) / (kLineSize >> 10);
}

void BM_EngineUpdate(benchmark::State& state) {
    static const std::string s_strPath = MakeHexFile(65536, "korvi_bench_64k");
    CHexImage image;
    image.BuildSignatures();
    image.Load(s_strPath);
    CInstantTarget host;
    CUpdateEngine engine(image, host);
    engine.InitStartValues();
    double dSeconds = 0;
    for (auto _ : state)
        dSeconds += SecondsOf([&] { RunUpdate(engine, host); });
    if (engine.GetLine() != image.GetLineCount() - 1) state.SkipWithError("update incomplete");
    state.SetItemsProcessed(state.iterations() * image.GetLineCount());
    state.counters["ns_per_line"] =
        dSeconds * 1e9 / (static_cast<double>(state.iterations()) * image.GetLineCount());
}

}  // namespace

BENCHMARK(BM_GetlineLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndDetect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadHugeLineMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
