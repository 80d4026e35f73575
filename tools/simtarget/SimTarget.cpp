#include "SimTarget.h"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "Baud.h"
#include "HexImage.h"

namespace {

const char* PhaseName(CBootloaderModel::Phase e) {
    switch (e) {
        case CBootloaderModel::Phase::Off:
            return "off";
        case CBootloaderModel::Phase::WaitEntry:
            return "waiting for entry";
        case CBootloaderModel::Phase::Records:
            return "receiving records";
        case CBootloaderModel::Phase::Done:
            return "done";
        case CBootloaderModel::Phase::Failed:
            return "failed";
    }
    return "?";
}

}  // namespace

CSimTarget::CSimTarget(const SimTargetOptions& options)
    : m_options(options), m_model(options.nType, options.faults) {}

CSimTarget::~CSimTarget() {
    Stop();
}

bool CSimTarget::Start() {
    if (m_thread.joinable()) return true;
    if (!m_pty.Create() || !Publish()) return false;
    if (m_options.nGreetEveryMs > 0) {
        std::lock_guard lock(m_mutex);
        m_nextGreeting = Clock::now();
    }
    return StartThread();
}

void CSimTarget::Stop() {
    StopThread();
    m_pty.CloseMaster();
    if (!m_options.strLink.empty()) {
        std::error_code ec;
        std::filesystem::remove(m_options.strLink, ec);
    }
}

bool CSimTarget::Publish() {
    if (m_options.strLink.empty()) return true;
    std::error_code ec;
    std::filesystem::remove(m_options.strLink, ec);
    std::filesystem::create_symlink(m_pty.SlavePath(), m_options.strLink, ec);
    return !ec;
}

std::string CSimTarget::Path() const {
    return m_options.strLink.empty() ? m_pty.SlavePath() : m_options.strLink;
}

bool CSimTarget::StartThread() {
    {
        std::lock_guard lock(m_mutex);
        m_nWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_nWake < 0) return false;
    }
    m_bRun = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CSimTarget::StopThread() {
    if (!m_thread.joinable()) return;
    m_bRun = false;
    const uint64_t nOne = 1;
    [[maybe_unused]] ssize_t n = ::write(m_nWake, &nOne, sizeof nOne);
    m_thread.join();
    std::lock_guard lock(m_mutex);
    ::close(m_nWake);
    m_nWake = -1;
}

void CSimTarget::HangUp() {
    StopThread();
    m_pty.CloseMaster();
    std::lock_guard lock(m_mutex);
    m_outbox.clear();
}

bool CSimTarget::ComeBack() {
    HangUp();
    if (!m_pty.Create() || !Publish() || !StartThread()) return false;
    // Plugged in again means powered up again: the bootloader starts over.
    Reset();
    return true;
}

void CSimTarget::Reset() {
    std::lock_guard lock(m_mutex);
    Send(m_model.Greet(), Clock::now());
    if (m_options.nGreetEveryMs > 0) {
        m_nextGreeting = Clock::now() + std::chrono::milliseconds(m_options.nGreetEveryMs);
    }
    const uint64_t nOne = 1;
    if (m_nWake >= 0) [[maybe_unused]]
        ssize_t n = ::write(m_nWake, &nOne, sizeof nOne);
}

// Called for every byte the tool sent: the tool's talk keeps the next greeting away.
void CSimTarget::PlanGreeting(CBootloaderModel::Phase eBefore) {
    using Phase = CBootloaderModel::Phase;
    const Phase e = m_model.GetPhase();
    const std::chrono::milliseconds every(m_options.nGreetEveryMs);
    if (e == Phase::Records && m_model.GetCounters().nRecords == m_nRecordsAtEntry) {
        // Entered, but no record since: the tool may have missed the "?".
        m_nextGreeting = m_rxFree + every;
    } else if (e == Phase::Records) {
        m_nextGreeting = m_rxFree + std::chrono::milliseconds(m_options.nRestartAfterSilenceMs);
    } else if ((e == Phase::Done || e == Phase::Failed) && e != eBefore) {
        // Restarted into the bootloader once the last reply is out.
        m_nextGreeting = m_txFree + every;
    }
}

CSimTarget::Clock::duration CSimTarget::ByteTime() const {
    if (!m_options.bWire) return Clock::duration::zero();
    const uint32_t nBaud = ToolSettings().nBaud;
    if (nBaud == 0) return Clock::duration::zero();
    // Start bit, eight data bits, stop bit.
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / nBaud));
}

bool CSimTarget::SpeedsMatch() const {
    const auto nBaud = static_cast<uint32_t>(GetTargetInfo(m_options.nType).nBaud);
    return !m_options.bWire || ToolSettings().nBaud == nBaud;
}

void CSimTarget::Send(std::string strBytes, Clock::time_point earliest) {
    if (strBytes.empty()) return;
    const auto start = std::max(earliest, m_txFree);
    m_txFree = start + ByteTime() * static_cast<long>(strBytes.size());
    m_outbox.push_back({m_txFree, std::move(strBytes)});
}

void CSimTarget::Receive(Clock::time_point now) {
    uint8_t abBuf[4096];
    const ssize_t n = ::read(m_pty.Master(), abBuf, sizeof abBuf);
    if (n <= 0) return;
    m_nBytesIn += static_cast<uint64_t>(n);
    if (!SpeedsMatch()) return;
    std::lock_guard lock(m_mutex);
    const auto byteTime = ByteTime();
    m_rxFree = std::max(m_rxFree, now);
    if (m_replyWritten != Clock::time_point{}) {
        m_aTurnaroundsUs.push_back(
            std::chrono::duration<double, std::micro>(now - m_replyWritten).count());
        m_replyWritten = {};
    }
    for (ssize_t i = 0; i < n; ++i) {
        // A byte is there once its stop bit is; its reply goes out after that.
        m_rxFree += byteTime;
        const auto eBefore = m_model.GetPhase();
        std::string strReply;
        m_model.Feed(&abBuf[i], 1, strReply);
        Send(std::move(strReply), m_rxFree);
        if (eBefore != CBootloaderModel::Phase::Records &&
            m_model.GetPhase() == CBootloaderModel::Phase::Records) {
            m_nRecordsAtEntry = m_model.GetCounters().nRecords;
        }
        if (WantsGreeting()) PlanGreeting(eBefore);
    }
}

void CSimTarget::FlushDue(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    while (!m_outbox.empty() && m_outbox.front().due <= now) {
        const std::string& str = m_outbox.front().strBytes;
        if (SpeedsMatch() && m_pty.WriteAll(str.data(), str.size())) m_nBytesOut += str.size();
        m_outbox.pop_front();
        if (m_options.bWire && m_options.bTimeTurnarounds) m_replyWritten = now;
        if (m_options.bWire && m_options.bPunctual)
            m_listenUntil = now + std::chrono::microseconds(300);
    }
    if (WantsGreeting() && now >= m_nextGreeting) {
        Send(m_model.Greet(), now);
        m_nextGreeting = now + std::chrono::milliseconds(m_options.nGreetEveryMs);
    }
}

void CSimTarget::Run() {
    // The default 50 us timer slack would land on every reply of a wire-timed run.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    while (m_bRun) {
        auto next = Clock::time_point::max();
        {
            std::lock_guard lock(m_mutex);
            if (!m_outbox.empty()) next = m_outbox.front().due;
            if (WantsGreeting()) next = std::min(next, m_nextGreeting);
        }
        pollfd fds[2] = {{m_pty.Master(), POLLIN, 0}, {m_nWake, POLLIN, 0}};
        WaitUntil(fds, next);
        if (fds[1].revents & POLLIN) {
            uint64_t nCount = 0;
            [[maybe_unused]] ssize_t n = ::read(m_nWake, &nCount, sizeof nCount);
        }
        const auto now = Clock::now();
        if (fds[0].revents & POLLIN) Receive(now);
        FlushDue(Clock::now());
    }
}

void CSimTarget::WaitUntil(pollfd (&fds)[2], Clock::time_point due) {
    // A device answers on its stop bit and hears a line the moment it starts. Waking from a
    // sleep takes tens to hundreds of microseconds here, which would be charged to the tool on
    // every line, so the thread polls without sleeping shortly before a reply falls due and
    // for a moment after each reply, when the tool's next line is to be expected. Each pass
    // yields: the kernel worker that carries a line through the pty, the tool's or our reply,
    // is often queued on this CPU and would otherwise wait until the polling ends.
    const auto kSpin = std::chrono::microseconds(m_options.bPunctual ? 150 : 0);
    const timespec zero{};
    auto now = Clock::now();
    while (now < m_listenUntil || (due != Clock::time_point::max() && due - now <= kSpin)) {
        if (::ppoll(fds, 2, &zero, nullptr) != 0 || now >= due) return;
        ::sched_yield();
        now = Clock::now();
    }
    if (due == Clock::time_point::max()) {
        ::ppoll(fds, 2, nullptr, nullptr);
        return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - kSpin - now);
    const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
    if (::ppoll(fds, 2, &wait, nullptr) != 0) return;
    while (::ppoll(fds, 2, &zero, nullptr) == 0 && Clock::now() < due)
        ::sched_yield();
}

void CSimTarget::SetFaults(const BootloaderFaults& faults) {
    std::lock_guard lock(m_mutex);
    m_model.SetFaults(faults);
}

void CSimTarget::ClearImage() {
    std::lock_guard lock(m_mutex);
    m_model.ClearImage();
    m_model.ClearAcceptedRecords();
}

ToolLineView CSimTarget::ToolSettings() const {
    ToolLineView v;
    termios tio{};
    if (!m_pty.ReadToolSettings(tio)) return v;
    v.nBaud = SpeedToBaud(cfgetospeed(&tio));
    v.bIxon = (tio.c_iflag & IXON) != 0;
    v.bIxoff = (tio.c_iflag & IXOFF) != 0;
    v.bCrtscts = (tio.c_cflag & CRTSCTS) != 0;
    v.bRaw = !(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(tio.c_oflag & OPOST) &&
             (tio.c_cflag & CSIZE) == CS8 && !(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
    return v;
}

std::vector<double> CSimTarget::TurnaroundsUs() const {
    std::lock_guard lock(m_mutex);
    return m_aTurnaroundsUs;
}

bool CSimTarget::Sending() const {
    std::lock_guard lock(m_mutex);
    return !m_outbox.empty();
}

CBootloaderModel::Phase CSimTarget::GetPhase() const {
    std::lock_guard lock(m_mutex);
    return m_model.GetPhase();
}

std::map<uint32_t, uint8_t> CSimTarget::Image() const {
    std::lock_guard lock(m_mutex);
    return m_model.GetImage();
}

BootloaderCounters CSimTarget::Counters() const {
    std::lock_guard lock(m_mutex);
    return m_model.GetCounters();
}

std::string CSimTarget::Summary() const {
    const BootloaderCounters c = Counters();
    const ToolLineView v = ToolSettings();
    char sz[640];
    std::snprintf(sz, sizeof sz,
                  "type %d, %s; line %u baud, xon/xoff %s/%s, rts/cts %s, %s\n"
                  "bytes in %llu, out %llu; greetings %d, entries %d, records %d, accepted %d\n"
                  "checksum errors %d, page errors %d, file errors %d, lost replies %d, noise %d, "
                  "ignored %d; image %zu bytes\n",
                  m_options.nType, PhaseName(GetPhase()), v.nBaud, v.bIxon ? "in" : "-",
                  v.bIxoff ? "out" : "-", v.bCrtscts ? "on" : "off", v.bRaw ? "raw" : "not raw",
                  static_cast<unsigned long long>(BytesIn()),
                  static_cast<unsigned long long>(BytesOut()), c.nGreetings, c.nEntries, c.nRecords,
                  c.nAccepted, c.nChecksumErrors, c.nPageErrors, c.nFileErrors, c.nLostReplies,
                  c.nNoiseBytes, c.nIgnoredBytes, Image().size());
    return sz;
}
