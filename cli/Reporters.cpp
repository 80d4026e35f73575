#include "Reporters.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "ExitCodes.h"
#include "JobRecord.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kBarWidth = 30;
constexpr std::chrono::milliseconds kRedrawEvery{100};

const char* Paint(bool bColor, const char* szCode) {
    return bColor ? szCode : "";
}

std::string Rate(double dBytesPerSecond) {
    char sz[32];
    if (dBytesPerSecond >= 1000)
        std::snprintf(sz, sizeof sz, "%.1f kB/s", dBytesPerSecond / 1000);
    else
        std::snprintf(sz, sizeof sz, "%.0f B/s", dBytesPerSecond);
    return sz;
}

std::string Clock(double dSeconds) {
    if (dSeconds < 0) return "-:--";
    const long n = std::lround(dSeconds);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%ld:%02ld", n / 60, n % 60);
    return sz;
}

int Percent(const JobProgress& p) {
    return p.nLines > 0 ? static_cast<int>(100LL * p.nLine / p.nLines) : 100;
}

void Emit(std::FILE* pOut, Json&& event) {
    const std::string strLine = event.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::fprintf(pOut, "%s\n", strLine.c_str());
    std::fflush(pOut);
}

Json Event(const char* szName, const std::string& strSlot) {
    Json j;
    j["schema"] = CJsonReporter::kSchema;
    j["event"] = szName;
    j["time"] = UtcTimeText(std::chrono::system_clock::now());
    if (!strSlot.empty()) j["slot"] = strSlot;
    return j;
}

}  // namespace

std::string PortText(const JobStartInfo& info) {
    if (info.strDevice.empty() || info.strDevice == info.strPort) return info.strPort;
    return info.strPort + " (" + info.strDevice + ")";
}

// --- human text

CHumanReporter::Style CHumanReporter::StyleFor(std::FILE* pOut, bool bQuiet) {
    Style style;
    style.bTerminal = ::isatty(::fileno(pOut)) == 1;
    const char* szNoColor = std::getenv("NO_COLOR");
    style.bColor = style.bTerminal && (szNoColor == nullptr || *szNoColor == '\0');
    style.bQuiet = bQuiet;
    return style;
}

void CHumanReporter::OnStart(const JobStartInfo& info) {
    if (m_style.bQuiet || info.nLines == 0) return;
    std::fprintf(m_pOut, "%s: type %d, %d baud, %d lines%s\n", info.strFile.c_str(),
                 info.nTargetType, info.nBaud, info.nLines, info.bDryRun ? " (dry run)" : "");
}

void CHumanReporter::OnWaitingForReset(const JobStartInfo& info, int /*nWaitSeconds*/) {
    if (m_style.bQuiet) return;
    EndBar();
    std::fprintf(m_pOut, "%sReset the device now — waiting for its bootloader on %s%s\n",
                 Paint(m_style.bColor, "\033[1m"), PortText(info).c_str(),
                 Paint(m_style.bColor, "\033[0m"));
    std::fflush(m_pOut);
}

void CHumanReporter::OnProgress(const JobProgress& p) {
    if (m_style.bQuiet) return;
    const int nPercent = Percent(p);
    if (!m_style.bTerminal) {
        if (nPercent < m_nNextTenth * 10) return;
        std::fprintf(m_pOut, "%d%% (%d of %d lines)\n", nPercent, p.nLine, p.nLines);
        m_nNextTenth = nPercent / 10 + 1;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (p.nLine < p.nLines && now - m_lastDraw < kRedrawEvery) return;
    m_lastDraw = now;
    const int nFilled = kBarWidth * nPercent / 100;
    std::fprintf(m_pOut, "\r[%s%.*s%s%.*s] %d/%d lines %3d%%  %s  %s left\033[K",
                 Paint(m_style.bColor, "\033[32m"), nFilled, "##############################",
                 Paint(m_style.bColor, "\033[0m"), kBarWidth - nFilled,
                 "..............................", p.nLine, p.nLines, nPercent,
                 Rate(p.dBytesPerSecond).c_str(), Clock(p.dSecondsLeft).c_str());
    std::fflush(m_pOut);
    m_bBarShown = true;
}

void CHumanReporter::OnResend(int nLine, ResendReason eReason, int nErrors) {
    if (m_style.bQuiet) return;
    EndBar();
    std::fprintf(m_pOut, "%sresend: line %d, %s (error %d of 3)%s\n",
                 Paint(m_style.bColor, "\033[33m"), nLine + 1, ResendReasonName(eReason), nErrors,
                 Paint(m_style.bColor, "\033[0m"));
}

void CHumanReporter::OnEnd(const JobStartInfo& /*info*/, const JobEnd& end) {
    EndBar();
    if (end.nCode == kExitOk) {
        if (m_style.bQuiet) return;
        std::fprintf(m_pOut, "%s%s%s (%.1f s, %d lines sent, %d resends)\n",
                     Paint(m_style.bColor, "\033[1;32m"), end.strMessage.c_str(),
                     Paint(m_style.bColor, "\033[0m"), end.dDuration, end.nLinesSent, end.nResends);
        return;
    }
    std::fprintf(m_pOut, "%skorvi-flash: %s%s (exit %d, %s)\n", Paint(m_style.bColor, "\033[1;31m"),
                 end.strMessage.c_str(), Paint(m_style.bColor, "\033[0m"), end.nCode,
                 ResultName(end.nCode));
}

void CHumanReporter::EndBar() {
    if (!m_bBarShown) return;
    std::fputc('\n', m_pOut);
    m_bBarShown = false;
    m_lastDraw = {};
}

// --- JSON Lines

void CJsonReporter::OnStart(const JobStartInfo& info) {
    Json j = Event("job_start", m_strSlot);
    j["port"] = info.strPort;
    j["device"] = info.strDevice;
    j["file"] = info.strFile;
    j["sha256"] = info.strSha256;
    j["target_type"] = info.nTargetType;
    j["baud"] = info.nBaud;
    j["lines"] = info.nLines;
    j["dry_run"] = info.bDryRun;
    Emit(m_pOut, std::move(j));
}

void CJsonReporter::OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) {
    Json j = Event("waiting_for_reset", m_strSlot);
    j["port"] = info.strPort;
    j["device"] = info.strDevice;
    j["wait_s"] = nWaitSeconds;
    Emit(m_pOut, std::move(j));
}

void CJsonReporter::OnProgress(const JobProgress& p) {
    const int nPercent = Percent(p);
    if (nPercent == m_nPercent) return;
    m_nPercent = nPercent;
    Json j = Event("progress", m_strSlot);
    j["line"] = p.nLine;
    j["lines"] = p.nLines;
    j["percent"] = nPercent;
    j["bytes_sent"] = p.nBytesSent;
    j["bytes_per_s"] = std::round(p.dBytesPerSecond);
    if (p.dSecondsLeft >= 0)
        j["eta_s"] = std::round(p.dSecondsLeft * 10) / 10;
    else
        j["eta_s"] = nullptr;
    Emit(m_pOut, std::move(j));
}

void CJsonReporter::OnResend(int nLine, ResendReason eReason, int nErrors) {
    Json j = Event("resend", m_strSlot);
    j["line"] = nLine + 1;
    j["reason"] = ResendReasonName(eReason);
    j["errors"] = nErrors;
    Emit(m_pOut, std::move(j));
}

void CJsonReporter::OnEnd(const JobStartInfo& /*info*/, const JobEnd& end) {
    Json j = Event("job_end", m_strSlot);
    j["result"] = ResultName(end.nCode);
    j["code"] = end.nCode;
    j["message"] = end.strMessage;
    j["duration_s"] = std::round(end.dDuration * 1000) / 1000;
    j["transfer_s"] = std::round(end.dTransfer * 1000) / 1000;
    j["lines_sent"] = end.nLinesSent;
    j["resends"] = end.nResends;
    Emit(m_pOut, std::move(j));
}

// --- fan-out

void CFanOut::OnStart(const JobStartInfo& info) {
    for (auto* p : m_aTo)
        p->OnStart(info);
}
void CFanOut::OnWaitingForReset(const JobStartInfo& info, int nWaitSeconds) {
    for (auto* p : m_aTo)
        p->OnWaitingForReset(info, nWaitSeconds);
}
void CFanOut::OnProgress(const JobProgress& progress) {
    for (auto* p : m_aTo)
        p->OnProgress(progress);
}
void CFanOut::OnResend(int nLine, ResendReason eReason, int nErrors) {
    for (auto* p : m_aTo)
        p->OnResend(nLine, eReason, nErrors);
}
void CFanOut::OnEnd(const JobStartInfo& info, const JobEnd& end) {
    for (auto* p : m_aTo)
        p->OnEnd(info, end);
}
