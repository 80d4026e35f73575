#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Whole-file reads and replacements for small files that must never be left half written.
namespace atomicfile {

enum class ReadStatus {
    Ok,
    Missing,     // nothing at that name: a new file may be created there
    Unreadable,  // something is there that could not be read (permission, not a regular
                 // file, larger than allowed, I/O error): it must not be replaced blindly
};

// Reads the whole regular file at strPath into strData. Never blocks on FIFOs or devices.
ReadStatus ReadFile(const std::string& strPath, size_t nMaxBytes, std::string& strData);

// Receives the new content piecewise; remembers the first failure.
class CFileSink {
public:
    explicit CFileSink(int nFd) : m_nFd(nFd) {}
    // Collects the content in memory instead.
    explicit CFileSink(std::string& rBuffer) : m_pBuffer(&rBuffer) {}
    void Write(const void* pData, size_t nSize);
    // Abandons the replacement, e.g. when the content turns out to be unacceptable.
    void Fail() { m_bOk = false; }
    bool IsOk() const { return m_bOk; }

private:
    int m_nFd = -1;
    std::string* m_pBuffer = nullptr;
    bool m_bOk = true;
};

// Replaces the file at strPath with what fnWrite produces: a temporary file in the same
// directory is written, flushed to disk and renamed over the target, so a crash leaves the
// old file or the new one, never a mix. A symlink at strPath is kept and the file it points
// to is replaced. An existing file keeps its permission bits (and owner, where allowed); one
// without any write permission bit, or not writable by this process, is left alone.
// False, with the old file untouched and no temporary left, when anything fails. Where the
// directory takes no new files but the file itself is writable, the file is rewritten in
// place instead (grown first, then written over, cut to size, flushed): a full disk or a
// size limit leaves the old file, a crash during that write a mix of both.
bool ReplaceFile(const std::string& strPath, const std::function<void(CFileSink&)>& fnWrite);

// Takes turns with other processes (and other objects of this one) at the file strPath leads
// to, for as long as it lives: an exclusive flock on the folder that holds it, as the file
// itself is replaced. Waits about a second at most; without the lock (a holder that has
// stopped, a folder that cannot be opened or locked) the owner goes on without its turn.
class CDirectoryLock {
public:
    explicit CDirectoryLock(const std::string& strPath);
    ~CDirectoryLock();
    CDirectoryLock(const CDirectoryLock&) = delete;
    CDirectoryLock& operator=(const CDirectoryLock&) = delete;

private:
    int m_nFd = -1;
};

}  // namespace atomicfile
