#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <thread>
#include <utility>

namespace atomicfile {
namespace {

constexpr int kMaxLinkHops = 40;  // links in a row the kernel follows; one more is a loop
constexpr int kMaxTempAttempts = 100;
constexpr int kMaxLockTries = 100;  // 10 ms apart

// Closes on scope exit unless released.
class CFd {
public:
    explicit CFd(int nFd) : m_nFd(nFd) {}
    ~CFd() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_nFd; }
    int Release() {
        const int nFd = m_nFd;
        m_nFd = -1;
        return nFd;
    }

private:
    int m_nFd;
};

// Everything up to and including the last '/', or "" for a bare name.
std::string DirPrefix(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

// Follows symlinks in the last component so that the file they lead to is replaced and
// the links stay. False on a loop or an unreadable link.
bool ResolveFinalLinks(std::string& strPath) {
    for (int nHop = 0; nHop <= kMaxLinkHops; ++nHop) {
        struct stat st {};
        if (::lstat(strPath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string strTarget(PATH_MAX, '\0');
        const ssize_t nLength = ::readlink(strPath.c_str(), strTarget.data(), strTarget.size());
        if (nLength <= 0 || static_cast<size_t>(nLength) >= strTarget.size()) return false;
        strTarget.resize(static_cast<size_t>(nLength));
        if (strTarget.front() != '/') strTarget.insert(0, DirPrefix(strPath));
        strPath = std::move(strTarget);
    }
    return false;
}

int CreateTemp(const std::string& strTarget, std::string& strTemp) {
    const size_t nSlash = strTarget.rfind('/');
    const std::string strBase =
        nSlash == std::string::npos ? strTarget : strTarget.substr(nSlash + 1);
    static unsigned s_nCounter = 0;
    for (int nAttempt = 0; nAttempt < kMaxTempAttempts; ++nAttempt) {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        char szSuffix[64];
        std::snprintf(szSuffix, sizeof szSuffix, ".tmp%ld.%u.%ld", static_cast<long>(::getpid()),
                      ++s_nCounter, static_cast<long>(ts.tv_nsec));
        // Hidden and next to the target: same file system, so the rename is atomic.
        strTemp = DirPrefix(strTarget) + "." + strBase + szSuffix;
        // 0666 lets the umask decide, as for any newly created file.
        const int nFd =
            ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (nFd >= 0 || errno != EEXIST) return nFd;
    }
    return -1;
}

// Content is built first, so a write that fnWrite abandons leaves the file as it was.
bool RewriteInPlace(const std::string& strTarget, const std::function<void(CFileSink&)>& fnWrite) {
    std::string strContent;
    CFileSink buffer(strContent);
    fnWrite(buffer);
    if (!buffer.IsOk()) return false;
    CFd file(::open(strTarget.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (file.Get() < 0 || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // What grows the file goes out first, behind the old content: a full disk or a size limit
    // fails there, and cutting back to the old size undoes it with nothing lost.
    const size_t nOld = static_cast<size_t>(st.st_size);
    if (strContent.size() > nOld) {
        CFileSink tail(file.Get());
        if (::lseek(file.Get(), st.st_size, SEEK_SET) >= 0)
            tail.Write(strContent.data() + nOld, strContent.size() - nOld);
        else
            tail.Fail();
        if (!tail.IsOk()) {
            [[maybe_unused]] const int nIgnored = ::ftruncate(file.Get(), st.st_size);
            return false;
        }
    }
    CFileSink head(file.Get());
    if (::lseek(file.Get(), 0, SEEK_SET) == 0)
        head.Write(strContent.data(), std::min(nOld, strContent.size()));
    else
        head.Fail();
    return head.IsOk() && ::ftruncate(file.Get(), static_cast<off_t>(strContent.size())) == 0 &&
           ::fsync(file.Get()) == 0 && ::close(file.Release()) == 0;
}

void SyncDirectoryOf(const std::string& strPath) {
    const std::string strDir = DirPrefix(strPath);
    CFd dir(::open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems refuse to sync directories; the rename has happened either way.
    if (dir.Get() >= 0) ::fsync(dir.Get());
}

}  // namespace

void CFileSink::Write(const void* pData, size_t nSize) {
    const char* p = static_cast<const char*>(pData);
    if (m_pBuffer != nullptr) {
        if (m_bOk) m_pBuffer->append(p, nSize);
        return;
    }
    while (m_bOk && nSize > 0) {
        const ssize_t nWritten = ::write(m_nFd, p, nSize);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) {
            m_bOk = false;
            break;
        }
        p += nWritten;
        nSize -= static_cast<size_t>(nWritten);
    }
}

ReadStatus ReadFile(const std::string& strPath, size_t nMaxBytes, std::string& strData) {
    strData.clear();
    CFd file(::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0)
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing : ReadStatus::Unreadable;
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > nMaxBytes)
        return ReadStatus::Unreadable;
    strData.resize(static_cast<size_t>(st.st_size));
    size_t nDone = 0;
    for (;;) {
        if (nDone == strData.size()) {
            // The file may have grown since fstat; keep reading up to the limit.
            if (nDone >= nMaxBytes + 1) return ReadStatus::Unreadable;
            strData.resize(std::min(nMaxBytes + 1, nDone + 4096));
        }
        const ssize_t nRead = ::read(file.Get(), strData.data() + nDone, strData.size() - nDone);
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead < 0) return ReadStatus::Unreadable;
        if (nRead == 0) break;
        nDone += static_cast<size_t>(nRead);
    }
    if (nDone > nMaxBytes) return ReadStatus::Unreadable;
    strData.resize(nDone);
    return ReadStatus::Ok;
}

CDirectoryLock::CDirectoryLock(const std::string& strPath) {
    std::string strTarget = strPath;
    if (!ResolveFinalLinks(strTarget)) return;
    const std::string strDir = DirPrefix(strTarget);
    m_nFd = ::open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int nTry = 0; m_nFd >= 0 && nTry < kMaxLockTries; ++nTry) {
        if (::flock(m_nFd, LOCK_EX | LOCK_NB) == 0) return;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
}

CDirectoryLock::~CDirectoryLock() {
    // Closing the only descriptor of the lock releases it.
    if (m_nFd >= 0) ::close(m_nFd);
}

bool ReplaceFile(const std::string& strPath, const std::function<void(CFileSink&)>& fnWrite) {
    std::string strTarget = strPath;
    if (strTarget.empty() || !ResolveFinalLinks(strTarget)) return false;

    struct stat stOld {};
    const bool bExists = ::stat(strTarget.c_str(), &stOld) == 0;
    if (!bExists && errno != ENOENT) return false;
    if (bExists && (!S_ISREG(stOld.st_mode) || (stOld.st_mode & 0222) == 0 ||
                    ::faccessat(AT_FDCWD, strTarget.c_str(), W_OK, AT_EACCESS) != 0))
        return false;

    std::string strTemp;
    CFd temp(CreateTemp(strTarget, strTemp));
    if (temp.Get() < 0) return bExists && errno == EACCES && RewriteInPlace(strTarget, fnWrite);

    bool bOk = true;
    if (bExists) {
        if (stOld.st_uid != ::geteuid() || stOld.st_gid != ::getegid()) {
            // Only privileged processes may give a file away; others keep their own.
            [[maybe_unused]] const int nIgnored = ::fchown(temp.Get(), stOld.st_uid, stOld.st_gid);
        }
        bOk = ::fchmod(temp.Get(), stOld.st_mode & 07777) == 0;
    }
    if (bOk) {
        CFileSink sink(temp.Get());
        try {
            fnWrite(sink);
        } catch (...) {
            ::close(temp.Release());
            ::unlink(strTemp.c_str());
            throw;
        }
        bOk = sink.IsOk() && ::fsync(temp.Get()) == 0;
    }
    bOk = ::close(temp.Release()) == 0 && bOk;
    if (bOk) bOk = ::rename(strTemp.c_str(), strTarget.c_str()) == 0;
    if (!bOk) {
        ::unlink(strTemp.c_str());
        return false;
    }
    SyncDirectoryOf(strTarget);
    return true;
}

}  // namespace atomicfile
