#include "PortIo.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "Baud.h"

namespace portio {

int OpenExclusive(const std::string& strDevice) {
    if (strDevice.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int nFd = ::open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (nFd < 0) return -1;
    if (::flock(nFd, LOCK_EX | LOCK_NB) != 0) {
        const int nErr = errno;
        ::close(nFd);
        errno = nErr;
        return -1;
    }
    ::ioctl(nFd, TIOCEXCL);
    return nFd;
}

void CloseExclusive(int nFd) {
    if (nFd < 0) return;
    ::ioctl(nFd, TIOCNXCL);
    ::close(nFd);
}

void MakeLine(termios& rTio, const LineSettings& ls) {
    cfmakeraw(&rTio);
    rTio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    rTio.c_cflag |= kSizes[ls.nDataBits - 5] | CREAD | CLOCAL;
    if (ls.nStopBits == 2) rTio.c_cflag |= CSTOPB;
    if (ls.cParity != 'N') rTio.c_cflag |= PARENB;
    if (ls.cParity == 'O') rTio.c_cflag |= PARODD;
    rTio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads never wait: the receive thread asks only for what is queued.
    rTio.c_cc[VMIN] = 0;
    rTio.c_cc[VTIME] = 0;
    const speed_t nSpeed = BaudToSpeed(ls.nBaud);
    cfsetispeed(&rTio, nSpeed);
    cfsetospeed(&rTio, nSpeed);
}

unsigned long ModemRequest(int nOn) {
    return nOn == 1 ? TIOCMBIS : TIOCMBIC;
}

void SetModemLine(int nFd, int nLine, int nOn) {
    if (nFd < 0) return;
    // A pseudo-terminal has no modem lines and answers ENOTTY; nothing to do then.
    ::ioctl(nFd, ModemRequest(nOn), &nLine);
}

void RequestLowLatency(int nFd) {
    serial_struct ss{};
    if (::ioctl(nFd, TIOCGSERIAL, &ss) != 0) return;
    ss.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(nFd, TIOCSSERIAL, &ss);
}

bool ReadLineErrorCount(int nFd, long long& rCount) {
    serial_icounter_struct ic{};
    if (::ioctl(nFd, TIOCGICOUNT, &ic) != 0) return false;
    rCount = static_cast<long long>(ic.frame) + ic.parity + ic.overrun + ic.brk;
    return true;
}

}  // namespace portio
