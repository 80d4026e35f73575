#include "WinCom.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "Baud.h"
#include "ModeString.h"
#include "PortIo.h"
#include "PortMap.h"
#include "ReceiveSession.h"
#include "Trace.h"

// Windows steps without a Linux counterpart: the driver queue sizes are fixed by the driver
// (no SetupComm), there is no abort-on-error mode (line errors are seen through the driver's
// error counters instead), the read time-outs become a non-blocking fd, and the event mask
// becomes poll() plus an eventfd that Close signals.

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kOpenPause{300};
constexpr milliseconds kClosePause{500};
constexpr int kWriteLimitMs = 5000;

std::string DeviceFor(const std::string& cMode) {
    return CComPortMap::Instance().Resolve(DeviceNameFromMode(cMode));
}

}  // namespace

CWinCom::CWinCom() = default;

CWinCom::~CWinCom() {
    if (m_hPort >= 0) Close();
}

bool CWinCom::IsOpen() const {
    return m_hPort >= 0;
}

void CWinCom::DiscardInput() {
    if (m_hPort >= 0) ::tcflush(m_hPort, TCIFLUSH);
}

// The mode string is taken by value, as callers have always passed it.
bool CWinCom::Open(std::string cMode) {  // NOLINT(performance-unnecessary-value-param)
    // Reopening over a live channel would orphan its receive thread.
    if (m_hPort >= 0) Close();
    portio::CPortClaim port;
    if (!port.Claim(DeviceFor(cMode), CComPortMap::Instance().Roots())) {
        serialtrace::Error("CWinCom::Open()::CreateFile(); \r\n", errno);
        return false;
    }
    const int nFd = port.Fd();
    // The claim gives the port back when this attempt fails.
    auto fail = [](const char* szContext, int nErr) {
        serialtrace::Error(szContext, nErr);
        return false;
    };
    std::this_thread::sleep_for(kOpenPause);

    if (::tcflush(nFd, TCIOFLUSH) != 0) return fail("CWinCom::Open()::PurgeComm(); \r\n", errno);
    termios tio{};
    if (::tcgetattr(nFd, &tio) != 0) return fail("CWinCom::Open()::GetCommState(); \r\n", errno);
    LineSettings ls;
    if (!ParseLineSettings(SettingsFromMode(cMode), ls)) {
        return fail("CWinCom::Open()::BuildCommDCB(); \r\n", EINVAL);
    }
    portio::MakeLine(tio, ls);
    // XON/XOFF both ways, no RTS/CTS, parity checked on input.
    tio.c_iflag |= IXON | IXOFF | INPCK;
    if (::tcsetattr(nFd, TCSANOW, &tio) != 0) {
        return fail("CWinCom::Open()::SetCommState(); \r\n", errno);
    }
    portio::SetModemLine(nFd, TIOCM_DTR, 1);
    portio::SetModemLine(nFd, TIOCM_RTS, 1);
    port.RequestLowLatency();
    // Start, data, parity and stop bits of one character, in microseconds.
    const long nBits = 1 + ls.nDataBits + (ls.cParity != 'N' ? 1 : 0) + ls.nStopBits;
    m_nByteMicros = static_cast<long>(nBits * 1000000L / static_cast<long>(ls.nBaud));

    const int nWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nWake < 0) return fail("CWinCom::Open()::CreateEvent(); \r\n", errno);

    auto pSession = std::make_shared<ReceiveSession>(std::move(port), nWake);
    try {
        if (TestHooks::bFailThreadStart.exchange(false))
            throw std::system_error(EAGAIN, std::generic_category());
        m_receiveThread = std::thread([pSession, this] { ReceiveThread(*pSession, *this); });
    } catch (const std::system_error&) {
        m_strLastError = "CWinCom::Open(); AfxBeginThread -> Fehler";
        // The session owns the port and the wake-up fd now; dropping it releases both.
        return false;
    }
    m_hPort = nFd;
    m_pSession = std::move(pSession);
    return true;
}

bool CWinCom::TestComDevice(std::string cMode) {  // NOLINT(performance-unnecessary-value-param)
    const std::string strName = DeviceNameFromMode(cMode);
    serialtrace::Line("cMode>" + cMode + "< TestComDevice Port:>" + strName + "< \n");
    portio::CPortClaim port;
    // Nothing touches the device (not even a flush) unless no other program holds it.
    if (!port.Claim(DeviceFor(cMode), CComPortMap::Instance().Roots())) {
        const int nErr = errno;
        m_strLastError = "Interface is not available or allocated by another application!";
        serialtrace::Line("cMode>" + cMode + "< TestComDevice Port:>" + strName +
                          "< Error=" + std::to_string(nErr) + "\n");
        return false;
    }
    const int nFd = port.Fd();
    ::tcflush(nFd, TCIOFLUSH);
    termios saved{};
    const bool bSaved = ::tcgetattr(nFd, &saved) == 0;
    bool bOk = false;
    LineSettings ls;
    if (!ParseLineSettings(SettingsFromMode(cMode), ls)) {
        m_strLastError = "BuildCommDCB: Interface is not available!";
        return false;
    }
    if (bSaved) {
        termios tio = saved;
        portio::MakeLine(tio, ls);
        tio.c_cflag |= CRTSCTS;  // output handshake on, XON/XOFF off
        termios applied{};
        // tcsetattr succeeds when any part took; read back to see that the speed did.
        bOk = ::tcsetattr(nFd, TCSANOW, &tio) == 0 && ::tcgetattr(nFd, &applied) == 0 &&
              cfgetospeed(&applied) == BaudToSpeed(ls.nBaud);
        // Other programs find the port as it was.
        ::tcsetattr(nFd, TCSANOW, &saved);
    }
    // Not a tty, or it did not take the settings.
    if (!bOk) m_strLastError = "SetCommState: Interface is not available!";
    return bOk;
}

void CWinCom::Close() {
    if (m_hPort < 0) return;
    m_pSession->bRun = false;
    ::tcflush(m_hPort, TCIOFLUSH);
    SetDtr(0);
    SetRts(0);
    m_pSession->Wake();
    if (m_pSession->WaitEnded(milliseconds(TestHooks::nCloseWaitMs.load()))) {
        m_receiveThread.join();
    } else {
        // Stuck in a delivery that ignores the run flag: it keeps its own session (and with
        // it the port) until it ends, and never sees a later Open's.
        m_receiveThread.detach();
    }
    m_pSession.reset();
    m_hPort = -1;
    std::this_thread::sleep_for(kClosePause);
}

bool CWinCom::Write(const uint8_t* pData, uint32_t nLength) {
    std::lock_guard lock(m_writeLock);
    if (m_hPort < 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(kWriteLimitMs);
    uint32_t nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = ::write(m_hPort, pData + nDone, nLength - nDone);
        if (n > 0) {
            nDone += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            serialtrace::Error("CWinCom::Write():WriteFile():; \r\n", errno);
            break;
        }
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{m_hPort, POLLOUT, 0};
        const int nReady = left.count() > 0 ? ::poll(&fd, 1, static_cast<int>(left.count())) : 0;
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady < 0) {
            serialtrace::Error("CWinCom::Write()::WaitForSingleObject(); \r\n", errno);
            break;
        }
        if (nReady > 0 && !(fd.revents & POLLOUT)) {
            serialtrace::Error("CWinCom::Write():WriteFile():; \r\n", EIO);
            break;
        }
        if (nReady == 0) {
            serialtrace::Error("CWinCom::Write()::GetOverlappedResult(); \r\n", ETIMEDOUT);
            // Held back (XOFF): drop what is still queued so the next block goes out alone.
            ::tcflush(m_hPort, TCOFLUSH);
            return true;
        }
    }
    // A UART driver takes a few KiB even while XOFF holds the line; the block counts as
    // written only once it has left, or it would follow the engine's resend of it.
    portio::CTtyOutputQueue queue(m_hPort);
    if (nDone == nLength && !portio::DrainOrDiscard(queue, deadline, m_nByteMicros))
        serialtrace::Error("CWinCom::Write()::GetOverlappedResult(); \r\n", ETIMEDOUT);
    return true;
}

void CWinCom::SetDtr(int nOn) {
    portio::SetModemLine(m_hPort, TIOCM_DTR, nOn);
}

void CWinCom::SetRts(int nOn) {
    portio::SetModemLine(m_hPort, TIOCM_RTS, nOn);
}
