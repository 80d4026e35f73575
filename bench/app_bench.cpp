// Window figures (offscreen): start-up to a shown window without the serial pauses, the
// delivery of a received byte through the window's event, and an update of the bundled
// sample through the window against a simulated target that takes the wire time.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QWindow>

#include <chrono>
#include <thread>

#include "ByteHandoff.h"
#include "Firmware.h"
#include "FlashApp.h"
#include "FlashDlg.h"
#include "HostSteal.h"
#include "PortMap.h"
#include "SimTarget.h"
#include "WireTime.h"

namespace {

using Clock = std::chrono::steady_clock;

// Blocks for events as the window's own event loop does; its timers wake it at least once a
// second.
void PumpUntil(const std::function<bool()>& bDone, double dSeconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(dSeconds);
    while (!bDone() && Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// The window's byte handler as it was: the byte is only added to the received text, and the
// reply waits for the next tick.
class CTickPaced : public QObject {
public:
    explicit CTickPaced(CFlashDlg& dlg) : m_dlg(dlg) {}
    bool eventFilter(QObject*, QEvent* pEvent) override {
        if (pEvent->type() != g_nWmRecSerial) return false;
        static_cast<CRecSerialEvent*>(pEvent)->Handle([this](uint32_t nWParam) {
            const_cast<CUpdateEngine&>(m_dlg.GetEngine())
                .OnReceivedByte(static_cast<uint8_t>(nWParam & 0xFF));
        });
        return true;
    }

private:
    CFlashDlg& m_dlg;
};

// No Config.xml and no port: nothing opens, so no fixed pause is part of the figure.
void BM_WindowStartup(benchmark::State& state) {
    QTemporaryDir dir;
    const QString strOld = QDir::currentPath();
    QDir::setCurrent(dir.path());
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().ClearPins();
    for (auto _ : state) {
        QFile::remove("Config.xml");
        CFlashDlg dlg;
        dlg.SetMessageBoxSeam([](const std::string&, unsigned) {});
        dlg.OnInitDialog();
        dlg.show();
        PumpUntil([&] { return dlg.windowHandle() && dlg.windowHandle()->isExposed(); }, 5);
    }
    QDir::setCurrent(strOld);
}
BENCHMARK(BM_WindowStartup)->Unit(benchmark::kMillisecond)->Iterations(20);

// Bytes sent from another thread, each returning once the window's handler has given it to
// the engine (the window thread pumping as its event loop would).
void BM_ByteToEngine(benchmark::State& state) {
    CFlashDlg dlg;
    dlg.SetMessageBoxSeam([](const std::string&, unsigned) {});
    std::atomic<bool> bRun{true};
    constexpr int kBytes = 1000;
    for (auto _ : state) {
        std::atomic<bool> bDone{false};
        std::thread sender([&] {
            for (int i = 0; i < kBytes; ++i)
                dlg.SendByte(static_cast<uint32_t>(g_nWmRecSerial), '~', bRun);
            bDone = true;
        });
        while (!bDone)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        sender.join();
    }
    state.SetItemsProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_ByteToEngine)->Unit(benchmark::kMillisecond)->Iterations(5);

// A bundled sample (range(0): type 1 at 115200 baud, type 3 at 19200) through the window:
// transfer time against the time its lines and replies take on the wire; range(1) 1: a step
// right after each received byte, as the window does, 0: tick-paced as it used to be;
// range(2) > 0: a generated file of that many 16-byte data lines instead of the sample, so
// that the fixed waits of an update weigh as little as in serial_bench.
void BM_UpdateThroughWindow(benchmark::State& state) {
    const int nType = static_cast<int>(state.range(0));
    QTemporaryDir dir;
    const QString strOld = QDir::currentPath();
    QDir::setCurrent(dir.path());
    SimTargetOptions options;
    options.nType = nType;
    options.bWire = true;
    options.bTimeTurnarounds = true;
    CSimTarget target(options);
    if (!target.Start()) return state.SkipWithError("no pty");
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().ClearPins();
    CComPortMap::Instance().Pin(1, target.Path());
    std::string strSample = KORVI_SAMPLES_DIR "/korvi-type" + std::to_string(nType) + ".hex";
    if (state.range(2) > 0) {
        const int nLines = static_cast<int>(state.range(2));
        strSample = WriteTempFile(JoinLines(MakeFirmware(nType, nLines), "\r\n"));
    }
    {
        QFile config("Config.xml");
        config.open(QIODevice::WriteOnly);
        config.write(("<profile><Main><COM-Port>1</COM-Port><Hex-File>" + strSample +
                      "</Hex-File></Main></profile>")
                         .c_str());
    }
    double dTransfer = 0;
    double dWire = 0;
    double dSteal = 0;
    std::vector<double> aTurnarounds;
    for (auto _ : state) {
        CFlashDlg dlg;
        dlg.SetMessageBoxSeam([](const std::string&, unsigned) {});
        dlg.SetJobLogPath({});  // measured updates are no service records
        dlg.OnInitDialog();
        dlg.show();
        CTickPaced tickPaced(dlg);
        if (state.range(1) == 0) dlg.installEventFilter(&tickPaced);
        const CHexImage& image = dlg.GetImage();
        size_t nWireBytes = 0;
        for (int i = 0; i < image.GetLineCount(); ++i)
            nWireBytes += image.LineAt(i).size() + 1;
        dWire = static_cast<double>(nWireBytes) * 10.0 / GetTargetInfo(nType).nBaud;

        QMetaObject::invokeMethod(dlg.GetDlgItem(1005), "click");
        PumpUntil([&] { return dlg.GetEngine().GetState() == WaitGreeting; }, 10);
        target.Reset();
        PumpUntil([&] { return dlg.GetEngine().GetState() == Transfer; }, 10);
        const auto t0 = Clock::now();
        const double dSteal0 = HostStealMs();
        PumpUntil([&] { return dlg.GetStatusText() == "Update successful"; }, 120);
        dTransfer = std::chrono::duration<double>(Clock::now() - t0).count();
        dSteal = HostStealMs() - dSteal0;
        if (dlg.GetStatusText() != "Update successful")
            state.SkipWithError(dlg.GetStatusText().c_str());
        aTurnarounds = target.TurnaroundsUs();
    }
    state.counters["transfer_s"] = dTransfer;
    state.counters["wire_s"] = dWire;
    state.counters["efficiency"] = dWire / dTransfer;
    state.counters["host_steal_ms"] = dSteal;
    // From each reply leaving the target to the tool's next byte reaching it, pty both ways.
    state.counters["turnaround_median_us"] = Percentile(aTurnarounds, 0.5);
    state.counters["turnaround_p90_us"] = Percentile(aTurnarounds, 0.9);
    QDir::setCurrent(strOld);
}
BENCHMARK(BM_UpdateThroughWindow)
    ->Args({1, 0, 0})
    ->Args({1, 1, 0})
    ->Args({3, 0, 0})
    ->Args({3, 1, 0})
    ->Args({1, 1, 1000})
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
