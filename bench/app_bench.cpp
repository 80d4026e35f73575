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

#include "FlashApp.h"
#include "FlashDlg.h"
#include "PortMap.h"
#include "SimTarget.h"

namespace {

using Clock = std::chrono::steady_clock;

void PumpUntil(const std::function<bool()>& bDone, double dSeconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(dSeconds);
    while (!bDone() && Clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

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

// The bundled type-3 sample at 19200 baud: transfer time through the window against the time
// its lines and replies take on the wire.
void BM_UpdateThroughWindow(benchmark::State& state) {
    QTemporaryDir dir;
    const QString strOld = QDir::currentPath();
    QDir::setCurrent(dir.path());
    SimTargetOptions options;
    options.nType = 3;
    options.bWire = true;
    CSimTarget target(options);
    if (!target.Start()) return state.SkipWithError("no pty");
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().ClearPins();
    CComPortMap::Instance().Pin(1, target.Path());
    const std::string strSample = KORVI_SAMPLES_DIR "/korvi-type3.hex";
    {
        QFile config("Config.xml");
        config.open(QIODevice::WriteOnly);
        config.write(("<profile><Main><COM-Port>1</COM-Port><Hex-File>" + strSample +
                      "</Hex-File></Main></profile>")
                         .c_str());
    }
    double dTransfer = 0;
    double dWire = 0;
    for (auto _ : state) {
        CFlashDlg dlg;
        dlg.SetMessageBoxSeam([](const std::string&, unsigned) {});
        dlg.OnInitDialog();
        dlg.show();
        const CHexImage& image = dlg.GetImage();
        size_t nWireBytes = 0;
        for (int i = 0; i < image.GetLineCount(); ++i)
            nWireBytes += image.LineAt(i).size() + 1;
        dWire = static_cast<double>(nWireBytes) * 10.0 / 19200.0;

        QMetaObject::invokeMethod(dlg.GetDlgItem(1005), "click");
        PumpUntil([&] { return dlg.GetEngine().GetState() == WaitGreeting; }, 10);
        target.Reset();
        PumpUntil([&] { return dlg.GetEngine().GetState() == Transfer; }, 10);
        const auto t0 = Clock::now();
        PumpUntil([&] { return dlg.GetStatusText() == "Update successful"; }, 120);
        dTransfer = std::chrono::duration<double>(Clock::now() - t0).count();
        if (dlg.GetStatusText() != "Update successful")
            state.SkipWithError(dlg.GetStatusText().c_str());
    }
    state.counters["transfer_s"] = dTransfer;
    state.counters["wire_s"] = dWire;
    state.counters["overhead_pct"] = 100.0 * (dTransfer - dWire) / dWire;
    QDir::setCurrent(strOld);
}
BENCHMARK(BM_UpdateThroughWindow)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
