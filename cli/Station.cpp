#include "Station.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "Commands.h"
#include "ExitCodes.h"
#include "FlashJob.h"
#include "PortInfo.h"
#include "PortMap.h"
#include "PortName.h"
#include "Reporters.h"

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::ordered_json;

// A port must stay present this long before its job starts: udev is still busy with a
// device that has just appeared (permissions, links).
constexpr std::chrono::milliseconds kSettle{250};
// How often ports are looked for besides inotify's news (all there is without inotify).
constexpr std::chrono::seconds kLookEvery{1};

// The device a port name leads to now; "" when none (or more than one).
std::string DeviceNow(const std::string& strPort) {
    const PortMatch m = ResolvePortName(strPort, "Config.xml");
    return m.aCandidates.empty() ? m.strDevice : "";
}

Json YieldJson(const JobCounters& c) {
    const double d = c.Yield();
    return d < 0 ? Json(nullptr) : Json(std::round(d * 10000) / 10000);
}

void Emit(Json&& j) {
    const std::string strLine = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::printf("%s\n", strLine.c_str());
    std::fflush(stdout);
}

Json Event(const char* szName) {
    Json j;
    j["schema"] = CJsonReporter::kSchema;
    j["event"] = szName;
    j["time"] = UtcTimeText(std::chrono::system_clock::now());
    return j;
}

}  // namespace

std::string ReadStationFile(const std::string& strPath, std::vector<StationSlot>& aSlots) {
    std::ifstream in(strPath);
    if (!in) return strPath + ": cannot be read";
    int nLine = 0;
    for (std::string strLine; std::getline(in, strLine);) {
        ++nLine;
        std::istringstream fields(strLine);
        StationSlot slot;
        std::string strMore;
        if (!(fields >> slot.strName) || slot.strName.front() == '#') continue;
        const std::string strWhere = strPath + ":" + std::to_string(nLine) + ": ";
        if (!(fields >> slot.strPort)) return strWhere + "slot " + slot.strName + " has no port";
        if (fields >> strMore) return strWhere + "more than a slot name and a port";
        aSlots.push_back(std::move(slot));
    }
    return aSlots.empty() ? strPath + ": no slots" : "";
}

StationCounts CountStationJobs(const std::vector<JobRecord>& aRecords,
                               const std::string& strStation, const std::string& strLot) {
    StationCounts counts;
    for (const JobRecord& r : aRecords) {
        if (r.strStation != strStation || r.strLot.value_or("") != strLot || !r.strSlot) continue;
        const int nCode = r.nExitCode.value_or(r.strResult == "Update successful" ? 0 : 1);
        counts.perSlot[*r.strSlot].Count(nCode);
        counts.total.Count(nCode);
    }
    return counts;
}

// One slot: its job of the moment, the thread that runs it, and what reports on it. Its
// observer calls come from that thread and take the station's lock.
struct CStation::Slot : public CJobObserver {
    Slot(CStation& station, const StationSlot& def) : rStation(station), def(def) {
        nInterrupt = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~Slot() override {
        if (thread.joinable()) thread.join();
        if (pLines != nullptr) std::fclose(pLines);
        if (nInterrupt >= 0) ::close(nInterrupt);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    void OnStart(const JobStartInfo& info) override {
        std::lock_guard lock(rStation.m_mutex);
        view.nLines = info.nLines;
        fanOut.OnStart(info);
    }
    void OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) override {
        {
            std::lock_guard lock(rStation.m_mutex);
            view.ePhase = SlotPhase::WaitingForReset;
            rStation.m_bDirty = true;
            fanOut.OnWaitingForReset(info, nWaitSeconds);
        }
        rStation.Wake();
    }
    void OnProgress(const JobProgress& p) override {
        bool bWake = false;
        {
            std::lock_guard lock(rStation.m_mutex);
            bWake = view.ePhase != SlotPhase::Sending || p.nLine == p.nLines;
            if (bWake) rStation.m_bDirty = true;
            view.ePhase = SlotPhase::Sending;
            view.nLine = p.nLine;
            fanOut.OnProgress(p);
        }
        // The board is redrawn at most every 100 ms anyway.
        const auto now = Clock::now();
        if (bWake || (rStation.m_pBoard && now - lastWake >= std::chrono::milliseconds(100))) {
            lastWake = now;
            rStation.Wake();
        }
    }
    void OnResend(int nLine, ResendReason eReason, int nErrors) override {
        std::lock_guard lock(rStation.m_mutex);
        ++view.nResends;
        fanOut.OnResend(nLine, eReason, nErrors);
    }
    void OnEnd(const JobStartInfo& info, const JobEnd& end) override {
        std::lock_guard lock(rStation.m_mutex);
        fanOut.OnEnd(info, end);
    }

    // On the slot's thread: the job from its start to its end, in a loop of its own.
    void RunJob() {
        {
            CJobLoop loop(false);
            loop.Add(*pJob);
            loop.Watch(nInterrupt, [this] {
                uint64_t n = 0;
                [[maybe_unused]] const ssize_t nRead = ::read(nInterrupt, &n, sizeof n);
                pJob->Interrupt();
            });
            pJob->Begin();
            loop.Run();
        }
        pJob.reset();
        bEnded = true;
        rStation.Wake();
    }

    CStation& rStation;
    StationSlot def;
    SlotView view;
    CFanOut fanOut;               // the reporters: prefixed lines, JSON
    std::FILE* pLines = nullptr;  // "[name] " before every line
    std::unique_ptr<CHumanReporter> pHuman;
    CJsonReporter json{stdout};
    std::unique_ptr<CFlashJob> pJob;  // the thread's while it runs
    std::thread thread;
    std::atomic<bool> bEnded{false};
    int nInterrupt = -1;
    bool bInterrupted = false;
    Clock::time_point lastWake{};
    std::string strAdapterSerial;
    std::string strByPath;
    Clock::time_point settleUntil = Clock::time_point::max();
};

CStation::CStation(StationOptions options) : m_options(std::move(options)) {
    const CHumanReporter::Style style = CHumanReporter::StyleFor(stderr, m_options.bQuiet);
    m_bColor = style.bColor;
    if (style.bTerminal && !m_options.bQuiet) m_pBoard = std::make_unique<CBoard>(stderr, m_bColor);
    m_nWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (const StationSlot& def : m_options.aSlots) {
        auto pSlot = std::make_unique<Slot>(*this, def);
        Slot& s = *pSlot;
        s.view.strName = def.strName;
        s.view.strPort = def.strPort;
        if (!m_pBoard) {
            s.pLines = OpenPrefixedStream(stderr, "[" + def.strName + "] ");
            CHumanReporter::Style lines = style;
            lines.bTerminal = false;
            s.pHuman = std::make_unique<CHumanReporter>(s.pLines ? s.pLines : stderr, lines);
            s.fanOut.Add(*s.pHuman);
        }
        if (m_options.bJson) {
            s.json.SetSlot(def.strName);
            s.fanOut.Add(s.json);
        }
        m_aSlots.push_back(std::move(pSlot));
    }
}

CStation::~CStation() {
    m_aSlots.clear();  // joins the slots' threads
    for (const int nFd : {m_nInotify, m_nTimer, m_nWake}) {
        if (nFd >= 0) ::close(nFd);
    }
}

void CStation::Wake() {
    const uint64_t nOne = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_nWake, &nOne, sizeof nOne);
}

int CStation::Run() {
    JobLog log;
    const std::string strProblem =
        m_options.strLogPath.empty() ? "" : ReadJobLog(m_options.strLogPath, log);
    if (!strProblem.empty()) {
        std::fprintf(stderr, "korvi-flash: counters start from zero: %s: %s\n",
                     m_options.strLogPath.c_str(), strProblem.c_str());
    }
    const StationCounts counts =
        CountStationJobs(log.aRecords, m_options.strStation, m_options.strLot);
    m_total = counts.total;
    for (auto& pSlot : m_aSlots) {
        const auto it = counts.perSlot.find(pSlot->def.strName);
        if (it != counts.perSlot.end()) pSlot->view.counters = it->second;
    }
    EmitStart();

    m_loop.Watch(m_nWake, [this] {
        uint64_t n = 0;
        [[maybe_unused]] const ssize_t nRead = ::read(m_nWake, &n, sizeof n);
    });
    if (m_options.bWatch) {
        m_nInotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_nInotify >= 0) {
            m_loop.Watch(m_nInotify, [this] {
                alignas(inotify_event) char ab[4096];
                while (::read(m_nInotify, ab, sizeof ab) > 0) {
                }
                m_bLook = true;
            });
        }
        m_nTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (m_nTimer >= 0) {
            m_loop.Watch(m_nTimer, [this] {
                uint64_t nTicks = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_nTimer, &nTicks, sizeof nTicks);
                m_bLook = true;
            });
        }
        for (auto& pSlot : m_aSlots)
            Say(*pSlot, "waiting for a board on " + pSlot->def.strPort);
    } else {
        for (size_t i = 0; i < m_aSlots.size(); ++i) {
            const PortMatch m = ResolvePortName(m_aSlots[i]->def.strPort, "Config.xml");
            StartJob(i, m.strDevice, m.strProblem);
        }
    }
    m_loop.SetAfterWake([this] { return AfterWake(); });
    const int nSignal = m_loop.Run();
    // After a signal, the interrupted jobs still close their ports.
    for (bool bRunning = true; bRunning;) {
        AfterWake();
        {
            std::lock_guard lock(m_mutex);
            bRunning = std::any_of(m_aSlots.begin(), m_aSlots.end(),
                                   [](const auto& pSlot) { return pSlot->thread.joinable(); });
        }
        if (bRunning) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(m_mutex);
    Draw(true);

    const bool bFailedInRow =
        m_options.nMaxFailures > 0 && m_nFailedInRow >= m_options.nMaxFailures;
    int nCode = m_bAnyFailed ? kExitStation : kExitOk;
    // Without --watch a signal after every job had ended stopped nothing, as for flash.
    const bool bStoppedNothing = nSignal != 0 && !m_options.bWatch && !m_bAnyInterrupted;
    if (bStoppedNothing) m_strStopped.clear();
    if (nSignal != 0 && !bStoppedNothing) nCode = kExitInterrupted;
    if (bFailedInRow) {
        std::fprintf(stderr, "korvi-flash: station stopped: failed jobs in a row: %d\n",
                     m_nFailedInRow);
    }
    if (!m_options.bQuiet) PrintSummary(stderr, m_aViews, m_total);
    EmitEnd(nCode);
    return nCode;
}

bool CStation::AfterWake() {
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    const bool bSignal = m_loop.Signal() != 0;
    if (bSignal && m_strStopped.empty()) m_strStopped = "interrupted";
    bool bLook = m_bLook || now >= m_nextLook;
    if (bLook) {
        m_bLook = false;
        m_nextLook = now + kLookEvery;
        if (m_nInotify >= 0) ArmWatches();
    }
    auto nextSettle = Clock::time_point::max();
    bool bRunning = false;
    for (size_t i = 0; i < m_aSlots.size(); ++i) {
        Slot& s = *m_aSlots[i];
        bool bLookHere = bLook;
        if (s.thread.joinable()) {
            if (!s.bEnded) {
                bRunning = true;
                if (bSignal && !s.bInterrupted) {
                    s.bInterrupted = true;
                    const uint64_t nOne = 1;
                    [[maybe_unused]] const ssize_t n = ::write(s.nInterrupt, &nOne, sizeof nOne);
                }
                continue;
            }
            s.thread.join();
            m_bDirty = true;
            s.view.ePhase = m_options.bWatch ? SlotPhase::TakeOff : SlotPhase::Finished;
            if (m_options.bWatch && m_strStopped.empty()) Say(s, "take the board off");
            bLookHere = true;
        }
        if (!m_options.bWatch || !bLookHere) {
            nextSettle = std::min(nextSettle, s.settleUntil);
            continue;
        }
        const std::string strDevice = DeviceNow(s.def.strPort);
        if (s.view.ePhase == SlotPhase::TakeOff) {
            // Re-armed only once the board has gone, so that no unit is flashed twice.
            if (!strDevice.empty()) continue;
            s.view.ePhase = SlotPhase::WaitingForBoard;
            m_bDirty = true;
            if (m_strStopped.empty()) Say(s, "waiting for a board");
        }
        if (s.view.ePhase != SlotPhase::WaitingForBoard) continue;
        if (strDevice.empty() || !m_strStopped.empty()) {
            s.settleUntil = Clock::time_point::max();
            continue;
        }
        if (s.settleUntil == Clock::time_point::max()) s.settleUntil = now + kSettle;
        if (now >= s.settleUntil) {
            s.settleUntil = Clock::time_point::max();
            StartJob(i, strDevice, "");
            bRunning = true;
        }
        nextSettle = std::min(nextSettle, s.settleUntil);
    }
    if (m_nTimer >= 0 && nextSettle != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(nextSettle - now);
        const long long n = std::max<long long>(left.count(), 1);
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(n / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(n % 1000000000);
        ::timerfd_settime(m_nTimer, 0, &when, nullptr);
    }
    Draw(m_bDirty);
    m_bDirty = false;
    return bRunning || (m_options.bWatch && m_strStopped.empty());
}

void CStation::ArmWatches() {
    const std::string strDev = CComPortMap::Instance().Roots().strDev;
    for (const auto& pSlot : m_aSlots) {
        const std::string& strPort = pSlot->def.strPort;
        // udev takes /dev/serial/by-path away with the last device: watch what is there.
        fs::path dir = strPort.front() == '/' ? fs::path(strPort).parent_path() : fs::path(strDev);
        std::error_code ec;
        while (dir.has_relative_path() && !fs::is_directory(dir, ec))
            dir = dir.parent_path();
        ::inotify_add_watch(m_nInotify, dir.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB);
    }
}

// With the lock held; the slot has no thread.
void CStation::StartJob(size_t nSlot, const std::string& strDevice, const std::string& strProblem) {
    Slot& s = *m_aSlots[nSlot];
    FlashJobOptions o;
    o.strFile = m_options.strFile;
    o.strPort = s.def.strPort;
    o.strDevice = strDevice;
    o.strPortProblem = strProblem;
    o.nWaitSeconds = m_options.nWaitSeconds;
    // Read now: once the adapter is pulled, sysfs no longer knows it.
    const SPortInfo port = strDevice.empty() ? SPortInfo{} : DescribePort(strDevice);
    s.strAdapterSerial = port.strSerial;
    s.strByPath = s.def.strPort.find("/serial/by-path/") != std::string::npos ? s.def.strPort
                                                                              : port.strByPath;

    s.view.ePhase = SlotPhase::Starting;
    s.view.nLine = 0;
    s.view.nResends = 0;
    s.view.nCode = -1;
    s.view.strMessage.clear();
    ++s.view.nJobs;
    m_bDirty = true;
    if (m_options.nCount > 0 && ++m_nStarted >= m_options.nCount) m_strStopped = "count";

    s.pJob = std::make_unique<CFlashJob>(o, s);
    s.pJob->SetEndHook([this, &s](const CFlashJob& job) { OnJobEnd(s, job); });
    if (m_fnJobHook) m_fnJobHook(nSlot, *s.pJob);
    s.bEnded = false;
    s.bInterrupted = false;
    s.thread = std::thread([&s] { s.RunJob(); });
}

void CStation::OnJobEnd(Slot& s, const CFlashJob& job) {
    JobRecord r = MakeJobRecord(job);
    std::lock_guard lock(m_mutex);
    const int nCode = job.End().nCode;
    s.view.nCode = nCode;
    s.view.strMessage = job.End().strMessage;
    s.view.counters.Count(nCode);
    m_total.Count(nCode);
    m_bDirty = true;
    if (nCode == kExitOk) {
        m_nFailedInRow = 0;
    } else {
        m_bAnyFailed = true;
        m_bAnyInterrupted = m_bAnyInterrupted || nCode == kExitInterrupted;
        if (nCode != kExitInterrupted) ++m_nFailedInRow;
        if (m_options.nMaxFailures > 0 && m_nFailedInRow >= m_options.nMaxFailures &&
            m_strStopped.empty())
            m_strStopped = "max_failures";
    }

    if (!m_options.strLot.empty()) r.strLot = m_options.strLot;
    r.strStation = m_options.strStation;
    r.strSlot = s.def.strName;
    if (!s.strAdapterSerial.empty()) r.strAdapterSerial = s.strAdapterSerial;
    if (!s.strByPath.empty()) r.strByPath = s.strByPath;
    const std::string strProblem =
        m_options.strLogPath.empty() ? "no home folder" : AppendJobRecord(r, m_options.strLogPath);
    if (!strProblem.empty()) {
        std::fprintf(stderr, "korvi-flash: the job record of slot %s was not kept (%s): %s\n",
                     s.def.strName.c_str(), m_options.strLogPath.c_str(), strProblem.c_str());
    }
}

// With the lock held.
void CStation::Say(const Slot& slot, const std::string& strText) {
    if (slot.pLines == nullptr || m_options.bQuiet) return;
    std::fprintf(slot.pLines, "%s\n", strText.c_str());
}

// With the lock held.
void CStation::Draw(bool bForce) {
    m_aViews.clear();
    for (const auto& pSlot : m_aSlots)
        m_aViews.push_back(pSlot->view);
    if (m_pBoard) m_pBoard->Draw(m_aViews, m_total, bForce);
}

void CStation::EmitStart() {
    if (!m_options.bJson) return;
    Json j = Event("station_start");
    j["station"] = m_options.strStation;
    j["lot"] = m_options.strLot.empty() ? Json(nullptr) : Json(m_options.strLot);
    j["file"] = m_options.strFile;
    j["watch"] = m_options.bWatch;
    j["slots"] = Json::array();
    for (const auto& pSlot : m_aSlots) {
        const JobCounters& c = pSlot->view.counters;
        j["slots"].push_back({{"slot", pSlot->def.strName},
                              {"port", pSlot->def.strPort},
                              {"pass", c.nPass},
                              {"fail", c.nFail}});
    }
    j["pass"] = m_total.nPass;
    j["fail"] = m_total.nFail;
    j["yield"] = YieldJson(m_total);
    Emit(std::move(j));
}

void CStation::EmitEnd(int nCode) {
    if (!m_options.bJson) return;
    Json j = Event("station_end");
    j["code"] = nCode;
    j["stopped"] = m_strStopped.empty() ? Json(nullptr) : Json(m_strStopped);
    j["slots"] = Json::array();
    int nJobs = 0;
    for (const SlotView& v : m_aViews) {
        nJobs += v.nJobs;
        j["slots"].push_back({{"slot", v.strName},
                              {"port", v.strPort},
                              {"jobs", v.nJobs},
                              {"code", v.nCode < 0 ? Json(nullptr) : Json(v.nCode)},
                              {"result", v.nCode < 0 ? Json(nullptr) : Json(ResultName(v.nCode))},
                              {"pass", v.counters.nPass},
                              {"fail", v.counters.nFail},
                              {"yield", YieldJson(v.counters)}});
    }
    j["jobs"] = nJobs;
    j["pass"] = m_total.nPass;
    j["fail"] = m_total.nFail;
    j["yield"] = YieldJson(m_total);
    Emit(std::move(j));
}
