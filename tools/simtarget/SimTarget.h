#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include "BootloaderModel.h"
#include "PtyPair.h"

struct SimTargetOptions {
    int nType = 1;  // 1..5; 0: a device that never greets
    BootloaderFaults faults;
    std::string strLink;  // publish the tty's path here as a symlink ("": don't)
    // > 0: greet every so often until entered and a record came, and again that long after
    // the transfer ended, or once it has been left silent for nRestartAfterSilenceMs (longer
    // than any wait of the tool during a transfer), as a device restarting into its bootloader.
    int nGreetEveryMs = 0;
    int nRestartAfterSilenceMs = 15000;
    // Hold bytes for their time on the wire at the tool's baud rate; a tool at another speed
    // than the target's gets nothing across, either way.
    bool bWire = false;
    // With bWire: poll without sleeping around each reply, so the simulator's own wake-up
    // delay is not charged to the tool. Many targets in one process may rather share the cores.
    bool bPunctual = true;
    bool bTimeTurnarounds = false;  // with bWire: keep each turnaround for TurnaroundsUs()
};

// Line settings the tool gave its side of the tty, as the device sees them.
struct ToolLineView {
    uint32_t nBaud = 0;
    bool bIxon = false;
    bool bIxoff = false;
    bool bCrtscts = false;
    bool bRaw = false;  // no canonical mode, echo, signals or output processing; 8 bits
};

// A bootloader at the far end of a pseudo-terminal, run by its own thread.
class CSimTarget {
public:
    explicit CSimTarget(const SimTargetOptions& options);
    ~CSimTarget();
    CSimTarget(const CSimTarget&) = delete;
    CSimTarget& operator=(const CSimTarget&) = delete;

    bool Start();
    void Stop();

    // What the tool opens: the link when one was asked for, otherwise the tty itself.
    std::string Path() const;

    // The reset button: greet now (and again every nGreetEveryMs until the transfer began).
    void Reset();
    // Pulls the cable: the tool's side sees a hang-up. ComeBack plugs a new one in at the link
    // and resets the target.
    void HangUp();
    bool ComeBack();

    // Faults of the records from now on, drawn afresh from faults.nSeed.
    void SetFaults(const BootloaderFaults& faults);
    // Erases the flash (and the record history), as before a fresh update.
    void ClearImage();

    ToolLineView ToolSettings() const;
    CBootloaderModel::Phase GetPhase() const;
    std::map<uint32_t, uint8_t> Image() const;
    BootloaderCounters Counters() const;
    // Replies still held back for their wire time.
    bool Sending() const;
    uint64_t BytesIn() const { return m_nBytesIn; }
    uint64_t BytesOut() const { return m_nBytesOut; }
    // With bTimeTurnarounds: microseconds from writing each reply to reading the first byte the
    // tool sent after it, the tool's whole turnaround including the pty both ways.
    std::vector<double> TurnaroundsUs() const;
    std::string Summary() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        std::string strBytes;
    };

    void Run();
    // Until a descriptor is ready or due has come.
    void WaitUntil(pollfd (&fds)[2], Clock::time_point due);
    void Receive(Clock::time_point now);
    void Send(std::string strBytes, Clock::time_point earliest);
    void FlushDue(Clock::time_point now);
    bool WantsGreeting() const { return m_options.nGreetEveryMs > 0; }
    void PlanGreeting(CBootloaderModel::Phase eBefore);
    Clock::duration ByteTime() const;
    // With bWire: whether the tool's side is at the target's speed; otherwise neither side
    // understands a byte of the other.
    bool SpeedsMatch() const;
    bool StartThread();
    void StopThread();
    bool Publish();

    SimTargetOptions m_options;
    CPtyPair m_pty;
    mutable std::mutex m_mutex;  // the model, the queue and the timers below
    CBootloaderModel m_model;
    std::deque<Pending> m_outbox;
    Clock::time_point m_rxFree{};        // when the wire from the tool is next idle
    Clock::time_point m_listenUntil{};   // polled without sleeping until then
    Clock::time_point m_txFree{};        // when the wire to the tool is next idle
    Clock::time_point m_replyWritten{};  // last reply not yet followed by a byte of the tool
    std::vector<double> m_aTurnaroundsUs;
    Clock::time_point m_nextGreeting = Clock::time_point::max();
    int m_nRecordsAtEntry = -1;  // records counted when the entry sequence was last answered
    std::atomic<uint64_t> m_nBytesIn{0};
    std::atomic<uint64_t> m_nBytesOut{0};
    std::atomic<bool> m_bRun{false};
    int m_nWake = -1;
    std::thread m_thread;
};
