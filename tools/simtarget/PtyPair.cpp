#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

CPtyPair::~CPtyPair() {
    CloseMaster();
    if (m_nSlave >= 0) ::close(m_nSlave);
}

bool CPtyPair::Create() {
    CloseMaster();
    if (m_nSlave >= 0) ::close(m_nSlave);
    m_nSlave = -1;
    char szName[128] = "";
    if (::openpty(&m_nMaster, &m_nSlave, szName, nullptr, nullptr) != 0) return false;
    // Raw, but with the driver's default control characters (XON/XOFF among them).
    termios tio{};
    ::tcgetattr(m_nSlave, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    ::tcsetattr(m_nSlave, TCSANOW, &tio);
    ::fcntl(m_nMaster, F_SETFL, ::fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_nMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_nSlave, F_SETFD, FD_CLOEXEC);
    m_strSlave = szName;
    return true;
}

void CPtyPair::CloseMaster() {
    if (m_nMaster >= 0) ::close(m_nMaster);
    m_nMaster = -1;
}

bool CPtyPair::ReadToolSettings(termios& rTio) const {
    // On a master, TCGETS reports the slave's termios.
    return m_nMaster >= 0 && ::tcgetattr(m_nMaster, &rTio) == 0;
}

bool CPtyPair::WriteAll(const void* pData, size_t nLength) const {
    const auto* p = static_cast<const char*>(pData);
    while (nLength > 0) {
        const ssize_t n = ::write(m_nMaster, p, nLength);
        if (n > 0) {
            p += n;
            nLength -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd fd{m_nMaster, POLLOUT, 0};
        if (::poll(&fd, 1, 1000) <= 0) return false;
    }
    return true;
}

std::string CPtyPair::ReadFor(int nMs, size_t nWant) const {
    std::string strGot;
    char abBuf[4096];
    while (strGot.size() < nWant) {
        pollfd fd{m_nMaster, POLLIN, 0};
        if (::poll(&fd, 1, nMs) <= 0) break;
        const ssize_t n = ::read(m_nMaster, abBuf, sizeof abBuf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;
        }
        strGot.append(abBuf, static_cast<size_t>(n));
    }
    return strGot;
}
