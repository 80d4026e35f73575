#include "JobLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>

#include "FlashJob.h"

namespace {

// Self-pipe: the handler only writes the signal number; the loop reads it.
int g_aSignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int nSignal) {
    const int nSaved = errno;
    const auto ch = static_cast<unsigned char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_aSignalPipe[1], &ch, 1);
    errno = nSaved;
}

struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};
struct sigaction g_oldHup {};

}  // namespace

CJobLoop::CJobLoop(bool bSignals) : m_bSignals(bSignals) {
    if (!bSignals) return;
    if (g_aSignalPipe[0] < 0 && ::pipe2(g_aSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &g_oldInt);
    ::sigaction(SIGTERM, &sa, &g_oldTerm);
    // A dropped terminal or ssh session must not leave a half-written device: the jobs go on.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &ignore, &g_oldHup);
}

CJobLoop::~CJobLoop() {
    if (!m_bSignals) return;
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    ::sigaction(SIGHUP, &g_oldHup, nullptr);
}

int CJobLoop::Run() {
    using Clock = std::chrono::steady_clock;
    auto nextSecond = Clock::now() + std::chrono::seconds(1);
    std::vector<pollfd> fds;
    bool bGoOn = m_fnAfterWake && m_fnAfterWake();
    for (;;) {
        bool bAllDone = true;
        bool bFast = false;
        fds.assign(1, pollfd{m_bSignals ? g_aSignalPipe[0] : -1, POLLIN, 0});
        for (const SWatch& w : m_aWatches)
            fds.push_back({w.nFd, POLLIN, 0});
        const size_t nFirstJob = fds.size();
        for (CFlashJob* pJob : m_aJobs) {
            bAllDone = bAllDone && pJob->IsDone();
            bFast = bFast || pJob->WantsFastTick();
            fds.push_back({pJob->WakeFd(), POLLIN, 0});
        }
        if (bAllDone && (!bGoOn || m_nSignal != 0)) return m_nSignal;

        auto wake = nextSecond;
        if (bFast) wake = std::min(wake, Clock::now() + std::chrono::milliseconds(1));
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(Clock::duration::zero(), wake - Clock::now()));
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        const int nReady = ::ppoll(fds.data(), fds.size(), &wait, nullptr);
        if (nReady < 0 && errno != EINTR) return m_nSignal;

        if (fds[0].revents & POLLIN) {
            unsigned char ch = 0;
            while (::read(g_aSignalPipe[0], &ch, 1) == 1)
                m_nSignal = ch;
            for (CFlashJob* pJob : m_aJobs)
                pJob->Interrupt();
            if (m_fnAfterWake) m_fnAfterWake();
            continue;
        }
        for (size_t i = 0; i < m_aJobs.size(); ++i) {
            if (fds[nFirstJob + i].revents & POLLIN) m_aJobs[i]->OnWake();
        }
        const auto now = Clock::now();
        const bool bSecond = now >= nextSecond;
        if (bSecond) {
            nextSecond += std::chrono::seconds(1);
            if (nextSecond < now) nextSecond = now + std::chrono::seconds(1);
        }
        for (CFlashJob* pJob : m_aJobs) {
            if (bSecond || (bFast && pJob->WantsFastTick())) pJob->OnTick(bSecond);
        }
        for (size_t i = 0; i + 1 < nFirstJob; ++i) {
            if (fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP)) m_aWatches[i].fn();
        }
        if (m_fnAfterWake) bGoOn = m_fnAfterWake();
    }
}
