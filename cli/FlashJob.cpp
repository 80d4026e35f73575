#include "FlashJob.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "AwakeWait.h"
#include "ExitCodes.h"
#include "HexCheck.h"
#include "JobRecord.h"
#include "PortInfo.h"
#include "PortMap.h"
#include "Reporters.h"

namespace {

constexpr const char* kResetText = "Please reset Korvi device...";
constexpr const char* kEntryRefused =
    "Fehler: the bootloader greeted but did not take the entry sequence";
constexpr uint8_t kEntry[3] = {'^', ';', ']'};
// How often a receive thread waiting for its byte to be taken looks at its run flag.
constexpr std::chrono::milliseconds kRunCheck{5};

// COM numbers no operator uses: each job pins its device to one of its own, so that the
// engine's "COM%d:..." mode strings reach exactly that device.
std::atomic<int> g_nNextCom{1000};

uint64_t DeviceId(const std::string& strPath) {
    struct stat st {};
    if (::stat(strPath.c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_rdev) ^ (static_cast<uint64_t>(st.st_ino) << 20);
}

// Why a device could not be opened, in the operator's words.
std::string OpenProblem(const std::string& strDevice) {
    struct stat st {};
    if (::stat(strDevice.c_str(), &st) != 0) return "no such port: " + strDevice;
    std::string strHow;
    if (IsPortHeld(strDevice, &strHow)) return strDevice + " is held by another program: " + strHow;
    if (::access(strDevice.c_str(), R_OK | W_OK) != 0) {
        return "permission denied on " + strDevice +
               " (add your user to the dialout group: sudo usermod -aG dialout $USER)";
    }
    return strDevice + " cannot be opened as a serial port";
}

std::string ErrorsText(const HexCheckResult& check, const std::string& strFile) {
    return std::to_string(check.nErrorCount) + (check.nErrorCount == 1 ? " error" : " errors") +
           " in " + strFile + "; nothing was sent (korvi-flash check " + strFile + ")";
}

}  // namespace

const char* ResendReasonName(ResendReason eReason) {
    switch (eReason) {
        case ResendReason::Checksum:
            return "checksum";
        case ResendReason::Page:
            return "page";
        case ResendReason::Timeout:
            break;
    }
    return "timeout";
}

CFlashJob::CFlashJob(FlashJobOptions options, CJobObserver& observer)
    : m_options(std::move(options)), m_observer(observer) {
    m_nWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_com.m_nMsgId = 1;
    m_com.m_pTarget = this;
}

CFlashJob::~CFlashJob() {
    // The receive thread may be waiting on this object: it goes first.
    m_com.Close();
    // A station runs job after job: each gives its private number back.
    if (m_nCom != 0) CComPortMap::Instance().Unpin(m_nCom);
    if (m_nWakeFd >= 0) ::close(m_nWakeFd);
}

void CFlashJob::Begin() {
    m_start = m_recordStart = Clock::now();
    m_recordTime = std::chrono::system_clock::now();
    m_info.strPort = m_options.strPort;
    m_info.strDevice = m_options.strDevice;
    m_info.strFile = m_options.strFile;
    m_info.bDryRun = m_options.bDryRun;
    if (!m_image.Load(m_options.strFile)) {
        m_observer.OnStart(m_info);
        Finish(kExitFileRefused, "cannot read " + m_options.strFile);
        return;
    }
    const HexCheckResult check = CheckHexImage(m_image);
    DigestFile(m_options.strFile, m_info.strSha256, m_info.nFileSize);
    m_info.nTargetType = m_image.GetTargetType();
    m_info.nBaud = GetTargetInfo(m_info.nTargetType).nBaud;
    m_info.nLines = m_image.GetLineCount();
    m_observer.OnStart(m_info);
    if (!check.IsValid()) return Finish(kExitFileRefused, ErrorsText(check, m_options.strFile));
    if (m_info.nTargetType == 0) {
        return Finish(kExitFileRefused,
                      "Unknown file! No target signature in " + m_options.strFile);
    }
    if (m_options.strDevice.empty()) return Finish(kExitPort, m_options.strPortProblem);

    m_aBytesBefore.assign(static_cast<size_t>(m_info.nLines) + 1, 0);
    for (int i = 0; i < m_info.nLines; ++i) {
        m_aBytesBefore[static_cast<size_t>(i) + 1] =
            m_aBytesBefore[static_cast<size_t>(i)] + m_image.LineAt(i).size();
    }

    m_nCom = g_nNextCom++;
    CComPortMap::Instance().Pin(m_nCom, m_options.strDevice);
    char szMode[48];
    std::snprintf(szMode, sizeof szMode, GetTargetInfo(m_info.nTargetType).szModeFormat, m_nCom);
    if (!m_com.Open(szMode)) return Finish(kExitPort, OpenProblem(m_options.strDevice));
    m_nDeviceId = DeviceId(m_options.strDevice);

    m_engine.InitStartValues();
    m_engine.Start(m_nCom);
    if (!m_com.IsOpen()) return Finish(kExitPort, OpenProblem(m_options.strDevice));
    Step(false);
}

bool CFlashJob::Open(const std::string& cMode) {
    return m_com.Open(cMode);
}

bool CFlashJob::Write(const uint8_t* pData, uint32_t nLength) {
    const bool bEntry = nLength == sizeof kEntry && std::memcmp(pData, kEntry, nLength) == 0;
    if (!bEntry) {
        ++m_end.nLinesSent;
        m_nBytesSent += nLength;
    }
    return m_com.Write(pData, nLength);
}

void CFlashJob::SetProgressPos(int nPos) {
    // Only the transfer's positions; a failing run's return to 0 is not progress.
    if (m_engine.GetState() != Transfer || (nPos == 0 && m_nProgress > 0)) return;
    ReportProgress(nPos);
}

void CFlashJob::ReportProgress(int nPos) {
    m_nProgress = nPos;
    JobProgress p;
    p.nLine = nPos;
    p.nLines = m_info.nLines;
    p.nBytesSent = m_nBytesSent;
    const auto now = Clock::now();
    if (m_transferStart == Clock::time_point::max()) m_transferStart = now;
    const double dElapsed = std::chrono::duration<double>(now - m_transferStart).count();
    if (dElapsed > 0.05 && m_nBytesSent > 0) {
        p.dBytesPerSecond = static_cast<double>(m_nBytesSent) / dElapsed;
        const size_t nAt = static_cast<size_t>(std::clamp(nPos, 0, m_info.nLines));
        p.dSecondsLeft =
            static_cast<double>(m_aBytesBefore.back() - m_aBytesBefore[nAt]) / p.dBytesPerSecond;
    }
    m_observer.OnProgress(p);
}

void CFlashJob::DiscardInput() {
    m_com.DiscardInput();
    {
        std::lock_guard lock(m_mutex);
        m_inbox.clear();
        m_nHandled = m_nPosted;
    }
    m_cvHandled.notify_all();
}

bool CFlashJob::SendByte(uint32_t /*nMsgId*/, uint32_t nWParam, const std::atomic<bool>& bRun) {
    uint64_t nSeq = 0;
    {
        std::lock_guard lock(m_mutex);
        m_inbox.push_back(static_cast<uint8_t>(nWParam & 0xFF));
        nSeq = ++m_nPosted;
    }
    const uint64_t nOne = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_nWakeFd, &nOne, sizeof nOne);
    AwaitAwake([&] { return m_nHandled >= nSeq || !bRun; });
    std::unique_lock lock(m_mutex);
    while (m_nHandled < nSeq) {
        if (!bRun) return false;  // the port closes; the byte may be dropped
        m_cvHandled.wait_for(lock, kRunCheck);
    }
    return true;
}

void CFlashJob::OnWake() {
    uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_nWakeFd, &nCount, sizeof nCount);
    std::deque<uint8_t> bytes;
    uint64_t nPosted = 0;
    {
        std::lock_guard lock(m_mutex);
        bytes.swap(m_inbox);
        nPosted = m_nPosted;
    }
    for (const uint8_t ch : bytes)
        m_engine.OnReceivedByte(ch);
    {
        std::lock_guard lock(m_mutex);
        m_nHandled = nPosted;
    }
    m_cvHandled.notify_all();
    if (!bytes.empty() && !m_bDone) Step(false, true);
}

void CFlashJob::OnTick(bool bSecond) {
    if (m_bDone) return;
    if (bSecond && m_nDeviceId != 0 && DeviceId(m_options.strDevice) != m_nDeviceId) {
        const bool bInBootloader = m_bGreeted || m_engine.GetState() == Transfer;
        return Finish(bInBootloader ? kExitLinkLost : kExitPort,
                      (bInBootloader ? "link lost: " : "port vanished: ") + PortText());
    }
    Step(bSecond);
    if (m_bDone || !bSecond) return;
    // Also in the entry's states: a target that greets but never gets ready cycles through them.
    if (m_engine.GetState() != Transfer && Clock::now() >= m_waitDeadline) {
        if (m_bEverGreeted) return Finish(kExitRefused, kEntryRefused);
        Finish(kExitNoGreeting, "no bootloader greeting within " +
                                    std::to_string(m_options.nWaitSeconds) + " s on " + PortText());
    }
}

bool CFlashJob::WantsFastTick() const {
    // The entry sequence is due on a step of its own, and the engine counts quiet ticks
    // before a resend; everything else follows a byte received or a one-second countdown.
    return !m_bDone && (m_engine.GetState() == SendEntry || m_engine.IsSettling());
}

void CFlashJob::Interrupt() {
    Finish(kExitInterrupted, "interrupted; port closed");
}

void CFlashJob::Step(bool bSecond, bool bNow) {
    const int32_t nStateBefore = m_engine.GetState();
    const int32_t nLineBefore = m_engine.GetLine();
    // The kinds of error this step may count, in the order the engine tests them.
    std::vector<ResendReason> aReasons;
    if (nStateBefore == Transfer) {
        const std::string& strReceived = m_engine.GetReceived();
        if (m_engine.GetCountdown() == 0) aReasons.push_back(ResendReason::Timeout);
        if (strReceived.find('-') != std::string::npos)
            aReasons.push_back(ResendReason::Checksum);
        else if (strReceived.find('%') != std::string::npos)
            aReasons.push_back(ResendReason::Page);
    }
    m_nErrorsInStep = 0;
    if (bNow)
        m_engine.StepNow();
    else
        m_engine.OnTimer(bSecond);
    AfterStep(nStateBefore, nLineBefore, aReasons);
}

void CFlashJob::AfterStep(int32_t nStateBefore, int32_t nLineBefore,
                          const std::vector<ResendReason>& aReasons) {
    const int32_t nState = m_engine.GetState();
    for (int k = 0; k < m_nErrorsInStep; ++k) {
        // The error that ends the run is no resend.
        if (k == m_nErrorsInStep - 1 && nState == Finished) break;
        const auto nIndex = static_cast<size_t>(k);
        ++m_end.nResends;
        m_observer.OnResend(nLineBefore,
                            nIndex < aReasons.size() ? aReasons[nIndex] : ResendReason::Timeout,
                            m_engine.GetErrorCount());
    }
    if (nState == Transfer && m_transferStart == Clock::time_point::max())
        m_transferStart = Clock::now();
    if (nState == SendEntry && !m_bEverGreeted) {
        m_recordStart = Clock::now();
        m_recordTime = std::chrono::system_clock::now();
    }
    if (nState == SendEntry) m_bGreeted = m_bEverGreeted = true;

    if (nState == WaitGreeting && nStateBefore != WaitGreeting && m_strStatus == kResetText) {
        m_bGreeted = false;
        // From the first request on: asking again must not put the limit off for ever.
        if (m_options.nWaitSeconds > 0 && m_waitDeadline == Clock::time_point::max())
            m_waitDeadline = Clock::now() + std::chrono::seconds(m_options.nWaitSeconds);
        m_observer.OnWaitingForReset(m_info, m_options.nWaitSeconds);
    } else if (m_options.bDryRun && nState == SendEntry) {
        Finish(kExitOk, "bootloader greeting received on " + PortText() +
                            "; stopped before entering the bootloader");
    } else if (nState == Finished) {
        if (m_strStatus == "Update successful") {
            // "@" confirms the last line too.
            ReportProgress(m_info.nLines);
            Finish(kExitOk, m_strStatus);
        } else if (m_strStatus == "File Error!") {
            Finish(kExitFileError, m_strStatus + " The target refused the file at line " +
                                       std::to_string(m_engine.GetLine() + 1));
        } else {
            Finish(kExitRefused, m_strStatus);
        }
    } else if (nState == SendEntry && m_strStatus == "Fehler") {
        Finish(kExitRefused, kEntryRefused);
    }
    if (!m_bDone && m_fnStepHook) m_fnStepHook();
}

void CFlashJob::Finish(int nCode, std::string strMessage) {
    if (m_bDone) return;
    m_bDone = true;
    const auto now = Clock::now();
    m_com.Close();
    m_end.nCode = nCode;
    m_end.strMessage = std::move(strMessage);
    m_end.dDuration = std::chrono::duration<double>(now - m_start).count();
    m_dRecordSeconds = std::chrono::duration<double>(now - m_recordStart).count();
    if (m_transferStart != Clock::time_point::max())
        m_end.dTransfer = std::chrono::duration<double>(now - m_transferStart).count();
    m_observer.OnEnd(m_info, m_end);
    if (m_fnEndHook) m_fnEndHook(*this);
}

std::string CFlashJob::PortText() const {
    return ::PortText(m_info);
}
