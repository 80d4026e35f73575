#include "JobRecord.h"

#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace {

using Json = nlohmann::ordered_json;

class CFd {
public:
    explicit CFd(int nFd) : m_nFd(nFd) {}
    ~CFd() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_nFd; }
    // Closes now, so that a failing close is seen.
    bool Close() {
        const int nFd = m_nFd;
        m_nFd = -1;
        return ::close(nFd) == 0;
    }

private:
    int m_nFd;
};

std::string ErrorText(const std::string& strWhat, const std::string& strPath, int nErrno) {
    return strWhat + " " + strPath + ": " + std::strerror(nErrno);
}

template <class T>
bool Take(const Json& json, const char* szKey, T& value) {
    const auto it = json.find(szKey);
    if (it == json.end()) return false;
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string()) return false;
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!it->is_number()) return false;
    } else {
        if (!it->is_number_integer()) return false;
    }
    value = it->template get<T>();
    return true;
}

template <class T>
bool TakeOptional(const Json& json, const char* szKey, std::optional<T>& value) {
    if (!json.contains(szKey)) return true;
    T taken{};
    if (!Take(json, szKey, taken)) return false;
    value = std::move(taken);
    return true;
}

// A line cut short by a crash or a full disk has no line end, and a record appended right after
// it would be lost with it. A log that may be written but not read is taken as whole.
bool EndsCutShort(const std::string& strPath) {
    const CFd file(::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    char chLast = '\n';
    return file.Get() >= 0 && ::fstat(file.Get(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_size > 0 && ::pread(file.Get(), &chLast, 1, info.st_size - 1) == 1 &&
           chLast != '\n';
}

}  // namespace

std::string JobRecordToJson(const JobRecord& r) {
    Json json = {{"time", r.strTime},         {"host", r.strHost},
                 {"tool", r.strTool},         {"version", r.strVersion},
                 {"com", r.nComNumber},       {"device", r.strDevice},
                 {"file", r.strFile},         {"sha256", r.strSha256},
                 {"size", r.nFileSize},       {"target_type", r.nTargetType},
                 {"baud", r.nBaud},           {"result", r.strResult},
                 {"errors", r.nErrorCount},   {"lines_sent", r.nLinesSent},
                 {"duration_s", r.dDurationS}};
    auto Optional = [&json](const char* szKey, const auto& value) {
        if (value) json[szKey] = *value;
    };
    Optional("lot", r.strLot);
    Optional("station", r.strStation);
    Optional("slot", r.strSlot);
    Optional("adapter_serial", r.strAdapterSerial);
    Optional("by_path", r.strByPath);
    Optional("exit_code", r.nExitCode);
    // Paths need not be UTF-8: bytes that are not are replaced rather than refused.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<JobRecord> JobRecordFromJson(std::string_view strLine) {
    const Json json = Json::parse(strLine, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    JobRecord r;
    const bool bOk =
        Take(json, "time", r.strTime) && Take(json, "host", r.strHost) &&
        Take(json, "tool", r.strTool) && Take(json, "version", r.strVersion) &&
        Take(json, "com", r.nComNumber) && Take(json, "device", r.strDevice) &&
        Take(json, "file", r.strFile) && Take(json, "sha256", r.strSha256) &&
        Take(json, "size", r.nFileSize) && Take(json, "target_type", r.nTargetType) &&
        Take(json, "baud", r.nBaud) && Take(json, "result", r.strResult) &&
        Take(json, "errors", r.nErrorCount) && Take(json, "lines_sent", r.nLinesSent) &&
        Take(json, "duration_s", r.dDurationS) && TakeOptional(json, "lot", r.strLot) &&
        TakeOptional(json, "station", r.strStation) && TakeOptional(json, "slot", r.strSlot) &&
        TakeOptional(json, "adapter_serial", r.strAdapterSerial) &&
        TakeOptional(json, "by_path", r.strByPath) && TakeOptional(json, "exit_code", r.nExitCode);
    if (!bOk) return std::nullopt;
    return r;
}

std::string DefaultJobLogPath() {
    // Only an absolute XDG_STATE_HOME counts; a relative one is to be ignored.
    const char* szState = std::getenv("XDG_STATE_HOME");
    std::string strBase;
    if (szState && szState[0] == '/') {
        strBase = szState;
    } else {
        const char* szHome = std::getenv("HOME");
        if (!szHome || szHome[0] != '/') {
            const passwd* pUser = ::getpwuid(::getuid());
            szHome = pUser ? pUser->pw_dir : nullptr;
        }
        if (!szHome || szHome[0] != '/') return {};
        strBase = std::string(szHome) + "/.local/state";
    }
    return strBase + "/korvi-flasher/jobs.jsonl";
}

std::string AppendJobRecord(const JobRecord& record, const std::string& strPath) {
    if (strPath.empty()) return "no place for the job log (no home folder)";
    const std::filesystem::path path(strPath);
    std::error_code error;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), error);
        if (error) return "cannot create " + path.parent_path().string() + ": " + error.message();
    }
    std::string strLine = JobRecordToJson(record) + '\n';
    // One write of the whole line with O_APPEND: concurrent writers never interleave within a
    // line, and a crash leaves at most one line cut short, which the reader skips.
    // Without blocking: a pipe put in the log's place with nobody reading it would otherwise
    // hold the caller (the window, a station's slot) for ever.
    CFd file(::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
    if (file.Get() < 0) return ErrorText("cannot open", strPath, errno);
    // Writers take turns from the look at the last byte to the write: one would otherwise take
    // another's line, half written at that moment, for one cut short. Without the lock (some
    // network folders, or a holder that has stopped) that costs no more than a blank line,
    // which the reader skips, so the wait for it is short.
    for (int nTry = 0; nTry < 100 && ::flock(file.Get(), LOCK_EX | LOCK_NB) != 0; ++nTry) {
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (EndsCutShort(strPath)) strLine.insert(strLine.begin(), '\n');
    ssize_t nWritten;
    do
        nWritten = ::write(file.Get(), strLine.data(), strLine.size());
    while (nWritten < 0 && errno == EINTR);
    ::flock(file.Get(), LOCK_UN);
    if (nWritten < 0) return ErrorText("cannot write", strPath, errno);
    if (static_cast<size_t>(nWritten) != strLine.size())
        return "cannot write " + strPath + ": only part of the record was written";
    if (::fsync(file.Get()) != 0) return ErrorText("cannot sync", strPath, errno);
    if (!file.Close()) return ErrorText("cannot close", strPath, errno);
    return {};
}

std::string ReadJobLog(const std::string& strPath, JobLog& log) {
    log = {};
    std::error_code error;
    const auto status = std::filesystem::status(strPath, error);
    if (status.type() == std::filesystem::file_type::not_found) return {};
    if (error) return "cannot read " + strPath + ": " + error.message();
    if (!std::filesystem::is_regular_file(status)) return "cannot read " + strPath + ": no file";
    std::ifstream file(strPath, std::ios::binary);
    if (!file) return "cannot read " + strPath;
    std::string strLine;
    while (std::getline(file, strLine)) {
        if (strLine.empty()) continue;
        if (auto record = JobRecordFromJson(strLine))
            log.aRecords.push_back(std::move(*record));
        else
            ++log.nDamaged;
    }
    if (file.bad()) return "cannot read " + strPath;
    return {};
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t nSeconds = static_cast<std::time_t>(nMs / 1000);
    std::tm utc{};
    ::gmtime_r(&nSeconds, &utc);
    char aText[48];
    const size_t nDate = std::strftime(aText, sizeof(aText), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(aText + nDate, sizeof(aText) - nDate, ".%03d+00:00",
                  static_cast<int>(nMs % 1000));
    return aText;
}

std::string HostName() {
    char aName[256] = {};
    if (::gethostname(aName, sizeof(aName) - 1) != 0) return {};
    return aName;
}

bool DigestFile(const std::string& strPath, std::string& strSha256, uint64_t& nSize) {
    CFd file(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) return false;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> pContext(EVP_MD_CTX_new(),
                                                                           &EVP_MD_CTX_free);
    if (!pContext || EVP_DigestInit_ex(pContext.get(), EVP_sha256(), nullptr) != 1) return false;
    uint64_t nTotal = 0;
    std::unique_ptr<char[]> pBuffer(new char[1 << 16]);
    for (;;) {
        const ssize_t nRead = ::read(file.Get(), pBuffer.get(), 1 << 16);
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead < 0) return false;
        if (nRead == 0) break;
        if (EVP_DigestUpdate(pContext.get(), pBuffer.get(), static_cast<size_t>(nRead)) != 1)
            return false;
        nTotal += static_cast<uint64_t>(nRead);
    }
    unsigned char abDigest[EVP_MAX_MD_SIZE];
    unsigned nDigest = 0;
    if (EVP_DigestFinal_ex(pContext.get(), abDigest, &nDigest) != 1) return false;
    static const char kDigits[] = "0123456789abcdef";
    strSha256.clear();
    for (unsigned i = 0; i < nDigest; ++i) {
        strSha256.push_back(kDigits[abDigest[i] >> 4]);
        strSha256.push_back(kDigits[abDigest[i] & 0x0F]);
    }
    nSize = nTotal;
    return true;
}
