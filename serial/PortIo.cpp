#include "PortIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <utility>

#include "Baud.h"

namespace portio {
namespace {

constexpr unsigned kPtySlaveMajorFirst = 136;  // Unix98 pty slaves: majors 136..143
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr long kMinPauseMicros = 100;
constexpr long kMaxPauseMicros = 20000;

std::string ReadText(const std::string& strPath, size_t nMax = 256) {
    std::ifstream in(strPath, std::ios::binary);
    std::string str(nMax, '\0');
    in.read(str.data(), static_cast<std::streamsize>(nMax));
    str.resize(static_cast<size_t>(in.gcount()));
    return str;
}

bool IsPtySlave(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) >= kPtySlaveMajorFirst &&
           major(st.st_rdev) <= kPtySlaveMajorLast;
}

bool IsPtyMaster(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode))
        return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ProcessAlive(long nPid) {
    return nPid > 0 && nPid <= INT_MAX &&
           (::kill(static_cast<pid_t>(nPid), 0) == 0 || errno == EPERM);
}

// PID in a lock file: ten ASCII digits, space padded, and a line end; 0 for anything else.
long LockOwner(const std::string& strFile) {
    const std::string strText = ReadText(strFile, 64);
    char* pEnd = nullptr;
    const long nPid = std::strtol(strText.c_str(), &pEnd, 10);
    return pEnd != strText.c_str() && nPid > 0 ? nPid : 0;
}

// The process that keeps the pty's master is its far end (a simulated device), not a rival.
bool WorksMasterOf(const std::string& strFdDir, const std::string& strInfoDir, unsigned nIndex) {
    DIR* pDir = ::opendir(strFdDir.c_str());
    if (pDir == nullptr) return false;
    bool bMaster = false;
    while (const dirent* pEntry = ::readdir(pDir)) {
        struct stat st {};
        if (pEntry->d_name[0] == '.' || ::stat((strFdDir + pEntry->d_name).c_str(), &st) != 0 ||
            !IsPtyMaster(st))
            continue;
        const std::string strInfo = ReadText(strInfoDir + pEntry->d_name, 512);
        const size_t nAt = strInfo.find("tty-index:");
        // Kernels that do not say which pty a master serves: any master counts.
        if (nAt == std::string::npos ||
            std::strtoul(strInfo.c_str() + nAt + 10, nullptr, 10) == nIndex) {
            bMaster = true;
            break;
        }
    }
    ::closedir(pDir);
    return bMaster;
}

// Another process with the device open, where /proc lets us see; 0 when none is seen.
long OtherHolder(const std::string& strProc, const struct stat& stDevice) {
    DIR* pProc = ::opendir(strProc.c_str());
    if (pProc == nullptr) return 0;
    const long nSelf = ::getpid();
    const bool bPty = IsPtySlave(stDevice);
    const unsigned nPtyIndex =
        (major(stDevice.st_rdev) - kPtySlaveMajorFirst) * 256 + minor(stDevice.st_rdev);
    long nHolder = 0;
    while (nHolder == 0) {
        const dirent* pEntry = ::readdir(pProc);
        if (pEntry == nullptr) break;
        char* pEnd = nullptr;
        const long nPid = std::strtol(pEntry->d_name, &pEnd, 10);
        if (*pEnd != '\0' || nPid <= 0 || nPid == nSelf) continue;
        const std::string strBase = strProc + "/" + pEntry->d_name;
        const std::string strFdDir = strBase + "/fd/";
        DIR* pFds = ::opendir(strFdDir.c_str());
        if (pFds == nullptr) continue;  // gone, or not ours to look at
        while (const dirent* pFd = ::readdir(pFds)) {
            struct stat st {};
            if (pFd->d_name[0] != '.' && ::stat((strFdDir + pFd->d_name).c_str(), &st) == 0 &&
                SameFile(st, stDevice)) {
                nHolder = nPid;
                break;
            }
        }
        ::closedir(pFds);
        if (nHolder != 0 && bPty && WorksMasterOf(strFdDir, strBase + "/fdinfo/", nPtyIndex))
            nHolder = 0;
    }
    ::closedir(pProc);
    return nHolder;
}

std::string ProcessName(const std::string& strProc, long nPid) {
    std::string strName = ReadText(strProc + "/" + std::to_string(nPid) + "/comm", 64);
    strName.erase(std::find(strName.begin(), strName.end(), '\n'), strName.end());
    return strName;
}

// "LCK..ttyUSB0"; devices in subdirectories of /dev get '_' for '/' ("LCK..pts_3").
std::string LockFileName(const std::string& strCanonical, const std::string& strDevRoot) {
    std::string strName = strCanonical;
    const std::string strPrefix = strDevRoot + "/";
    if (strName.compare(0, strPrefix.size(), strPrefix) == 0) {
        strName.erase(0, strPrefix.size());
    } else {
        strName.erase(0, strName.rfind('/') + 1);
    }
    std::replace(strName.begin(), strName.end(), '/', '_');
    return "LCK.." + strName;
}

// Takes the lock file; false, with the owner's PID, when a live process holds it. Where the
// lock directory cannot take files, no lock is taken and none is needed (rstrTaken empty).
bool TakeLockFile(const std::string& strLock, long& rnOwner, std::string& rstrTaken) {
    rstrTaken.clear();
    const long nSelf = ::getpid();
    const std::string strTemp = strLock + ".tmp" + std::to_string(nSelf);
    const int nFd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (nFd < 0) {
        // Read-only or missing lock directory: honour a live lock there, take none.
        rnOwner = LockOwner(strLock);
        return rnOwner == 0 || rnOwner == nSelf || !ProcessAlive(rnOwner);
    }
    char szPid[16];
    const int nLength = std::snprintf(szPid, sizeof szPid, "%10ld\n", nSelf);
    const bool bWritten = ::write(nFd, szPid, static_cast<size_t>(nLength)) == nLength;
    ::close(nFd);
    bool bTaken = false;
    // Linking makes the complete file appear at once; a stale lock gets one removal.
    for (int nTry = 0; bWritten && nTry < 2 && !bTaken; ++nTry) {
        if (::link(strTemp.c_str(), strLock.c_str()) == 0) {
            bTaken = true;
            break;
        }
        if (errno != EEXIST) break;
        rnOwner = LockOwner(strLock);
        if (rnOwner != nSelf && ProcessAlive(rnOwner)) {
            ::unlink(strTemp.c_str());
            return false;
        }
        ::unlink(strLock.c_str());
    }
    ::unlink(strTemp.c_str());
    if (bTaken) rstrTaken = strLock;
    return true;
}

int GetSerialFlags(int nFd, int& rFlags) {
    if (TestHooks::pSerialFlags != nullptr) {
        rFlags = *TestHooks::pSerialFlags;
        return 0;
    }
    serial_struct ss{};
    if (::ioctl(nFd, TIOCGSERIAL, &ss) != 0) return -1;
    rFlags = ss.flags;
    return 0;
}

int SetSerialFlags(int nFd, int nFlags) {
    if (TestHooks::pSerialFlags != nullptr) {
        *TestHooks::pSerialFlags = nFlags;
        return 0;
    }
    serial_struct ss{};
    if (::ioctl(nFd, TIOCGSERIAL, &ss) != 0) return -1;
    ss.flags = nFlags;
    return ::ioctl(nFd, TIOCSSERIAL, &ss);
}

}  // namespace

CPortClaim::CPortClaim(CPortClaim&& other) noexcept
    : m_nFd(std::exchange(other.m_nFd, -1)),
      m_bExclusiveSet(other.m_bExclusiveSet),
      m_bLowLatencySet(other.m_bLowLatencySet),
      m_strLockFile(std::move(other.m_strLockFile)) {
    other.m_strLockFile.clear();
}

CPortClaim& CPortClaim::operator=(CPortClaim&& other) noexcept {
    if (this != &other) {
        Release();
        m_nFd = std::exchange(other.m_nFd, -1);
        m_bExclusiveSet = other.m_bExclusiveSet;
        m_bLowLatencySet = other.m_bLowLatencySet;
        m_strLockFile = std::move(other.m_strLockFile);
        other.m_strLockFile.clear();
    }
    return *this;
}

bool CPortClaim::Claim(const std::string& strDevice, const SPortRoots& roots,
                       std::string* pReason) {
    Release();
    auto held = [&](const std::string& strWhy) {
        if (pReason != nullptr) *pReason = strWhy;
        Release();
        errno = EBUSY;
        return false;
    };
    if (strDevice.empty()) {
        errno = ENOENT;
        return false;
    }
    m_nFd = ::open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_nFd < 0) {
        // TIOCEXCL set by another program keeps out everyone but root.
        if (errno == EBUSY) return held("opened exclusively by another program");
        return false;
    }
    int nExclusive = 0;
    if (::ioctl(m_nFd, TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0)
        return held("opened exclusively by another program");
    if (::flock(m_nFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return held("locked by another program (flock)");
        const int nErr = errno;
        Release();
        errno = nErr;
        return false;
    }
    struct stat st {};
    if (::fstat(m_nFd, &st) != 0) st = {};
    char szReal[PATH_MAX];
    const std::string strCanonical =
        ::realpath(strDevice.c_str(), szReal) != nullptr ? std::string(szReal) : strDevice;
    const std::string strLock = roots.strLock + "/" + LockFileName(strCanonical, roots.strDev);
    long nOwner = 0;
    if (!TakeLockFile(strLock, nOwner, m_strLockFile))
        return held("lock file " + strLock + " of process " + std::to_string(nOwner));
    if (const long nHolder = OtherHolder(roots.strProc, st); nHolder != 0) {
        const std::string strName = ProcessName(roots.strProc, nHolder);
        return held("open in process " + std::to_string(nHolder) +
                    (strName.empty() ? "" : " (" + strName + ")"));
    }
    m_bExclusiveSet = ::ioctl(m_nFd, TIOCEXCL) == 0;
    return true;
}

void CPortClaim::RequestLowLatency() {
    int nFlags = 0;
    if (m_nFd < 0 || GetSerialFlags(m_nFd, nFlags) != 0 || (nFlags & ASYNC_LOW_LATENCY)) return;
    m_bLowLatencySet = SetSerialFlags(m_nFd, nFlags | ASYNC_LOW_LATENCY) == 0;
}

void CPortClaim::Release() {
    if (m_nFd >= 0) {
        int nFlags = 0;
        if (m_bLowLatencySet && GetSerialFlags(m_nFd, nFlags) == 0)
            SetSerialFlags(m_nFd, nFlags & ~ASYNC_LOW_LATENCY);
        // A tty keeps TIOCEXCL while anyone else holds it open.
        if (m_bExclusiveSet) ::ioctl(m_nFd, TIOCNXCL);
        ::close(m_nFd);
    }
    // Only a lock that is still ours: a stale-lock sweep by another program may have replaced it.
    if (!m_strLockFile.empty() && LockOwner(m_strLockFile) == ::getpid())
        ::unlink(m_strLockFile.c_str());
    m_nFd = -1;
    m_bExclusiveSet = false;
    m_bLowLatencySet = false;
    m_strLockFile.clear();
}

bool DrainOrDiscard(COutputQueue& rQueue, std::chrono::steady_clock::time_point deadline,
                    long nByteMicros) {
    using std::chrono::microseconds;
    for (;;) {
        const int nQueued = rQueue.Queued();
        if (nQueued <= 0) return true;
        const auto left = std::chrono::duration_cast<microseconds>(deadline - rQueue.Now());
        if (left.count() <= 0) {
            rQueue.Discard();
            return false;
        }
        const long nGuess = std::clamp(nQueued * nByteMicros, kMinPauseMicros, kMaxPauseMicros);
        rQueue.Pause(std::min(microseconds(nGuess), left));
    }
}

int CTtyOutputQueue::Queued() {
    int nQueued = 0;
    return ::ioctl(m_nFd, TIOCOUTQ, &nQueued) == 0 ? nQueued : -1;
}

void CTtyOutputQueue::Discard() {
    ::tcflush(m_nFd, TCOFLUSH);
}

void CTtyOutputQueue::Pause(std::chrono::microseconds d) {
    std::this_thread::sleep_for(d);
}

std::chrono::steady_clock::time_point CTtyOutputQueue::Now() {
    return std::chrono::steady_clock::now();
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

bool ReadLineErrorCount(int nFd, long long& rCount) {
    serial_icounter_struct ic{};
    if (::ioctl(nFd, TIOCGICOUNT, &ic) != 0) return false;
    rCount = static_cast<long long>(ic.frame) + ic.parity + ic.overrun + ic.brk;
    return true;
}

}  // namespace portio
