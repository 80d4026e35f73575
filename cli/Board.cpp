#include "Board.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "ExitCodes.h"

namespace {

constexpr int kBarWidth = 16;
constexpr std::chrono::milliseconds kRedrawEvery{100};

const char* PhaseText(SlotPhase e) {
    switch (e) {
        case SlotPhase::WaitingForBoard:
            return "waiting for a board";
        case SlotPhase::Starting:
            return "starting";
        case SlotPhase::WaitingForReset:
            return "reset the device";
        case SlotPhase::Sending:
            return "sending";
        case SlotPhase::TakeOff:
            return "take the board off";
        case SlotPhase::Finished:
            break;
    }
    return "done";
}

std::string ResultText(const SlotView& slot) {
    if (slot.nCode < 0) return "";
    if (slot.nCode == kExitOk) return "success";
    return std::string(ResultName(slot.nCode)) + ": " + slot.strMessage;
}

// The end of a long name, where by-path links differ.
std::string Tail(const std::string& str, size_t nWidth) {
    if (str.size() <= nWidth) return str;
    return ".." + str.substr(str.size() - (nWidth - 2));
}

std::string Pad(std::string str, size_t nWidth) {
    if (str.size() < nWidth) str.append(nWidth - str.size(), ' ');
    return str;
}

size_t TerminalWidth(std::FILE* pOut) {
    winsize ws{};
    if (::ioctl(::fileno(pOut), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 100;
}

struct SPrefixed {
    std::FILE* pTo;
    std::string strPrefix;
    std::string strPending;
};

ssize_t PrefixedWrite(void* pCookie, const char* pData, size_t nSize) {
    auto* p = static_cast<SPrefixed*>(pCookie);
    p->strPending.append(pData, nSize);
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = p->strPending.find('\n', nStart)) != std::string::npos;
         nStart = nEnd + 1) {
        std::fprintf(p->pTo, "%s%.*s\n", p->strPrefix.c_str(), static_cast<int>(nEnd - nStart),
                     p->strPending.data() + nStart);
    }
    p->strPending.erase(0, nStart);
    std::fflush(p->pTo);
    return static_cast<ssize_t>(nSize);
}

int PrefixedClose(void* pCookie) {
    auto* p = static_cast<SPrefixed*>(pCookie);
    if (!p->strPending.empty()) PrefixedWrite(p, "\n", 1);
    delete p;
    return 0;
}

}  // namespace

void JobCounters::Count(int nExitCode) {
    if (nExitCode == kExitInterrupted) return;
    ++(nExitCode == kExitOk ? nPass : nFail);
}

double JobCounters::Yield() const {
    return nPass + nFail == 0 ? -1.0 : static_cast<double>(nPass) / (nPass + nFail);
}

std::string CountersText(const JobCounters& c) {
    char sz[96];
    if (c.Yield() < 0)
        std::snprintf(sz, sizeof sz, "%d pass, %d fail", c.nPass, c.nFail);
    else
        std::snprintf(sz, sizeof sz, "%d pass, %d fail, yield %.1f %%", c.nPass, c.nFail,
                      100.0 * c.Yield());
    return sz;
}

std::string CBoard::Row(const SlotView& slot, size_t nNameWidth, size_t nPortWidth) const {
    std::string strRow =
        Pad(slot.strName, nNameWidth) + "  " + Pad(Tail(slot.strPort, nPortWidth), nPortWidth);
    const bool bResult = slot.nCode >= 0 && slot.ePhase != SlotPhase::WaitingForBoard;
    strRow += "  " + Pad(bResult ? ResultName(slot.nCode) : PhaseText(slot.ePhase), 19) + "[";
    const bool bBar = slot.nLines > 0 && (slot.ePhase == SlotPhase::Sending || bResult);
    const int nFilled = bBar ? kBarWidth * std::clamp(slot.nLine, 0, slot.nLines) / slot.nLines : 0;
    strRow += std::string(static_cast<size_t>(nFilled), '#') +
              std::string(static_cast<size_t>(kBarWidth - nFilled), '.');
    char sz[64];
    std::snprintf(sz, sizeof sz, "] %5d/%-5d resends %d", slot.nLine, slot.nLines, slot.nResends);
    strRow += sz;
    if (bResult && slot.nCode != kExitOk) strRow += "  " + slot.strMessage;
    return strRow;
}

void CBoard::Draw(const std::vector<SlotView>& aSlots, const JobCounters& total, bool bForce) {
    const auto now = std::chrono::steady_clock::now();
    if (!bForce && now - m_lastDraw < kRedrawEvery) return;
    m_lastDraw = now;
    size_t nNameWidth = 4;
    size_t nPortWidth = 4;
    for (const SlotView& s : aSlots) {
        nNameWidth = std::max(nNameWidth, s.strName.size());
        nPortWidth = std::max(nPortWidth, std::min<size_t>(s.strPort.size(), 20));
    }
    // A row longer than the terminal would wrap, and going back over the board would miss it.
    const size_t nWidth = TerminalWidth(m_pOut) - 1;
    if (m_nRows > 0) std::fprintf(m_pOut, "\033[%dA", m_nRows);
    for (const SlotView& s : aSlots) {
        const std::string strRow = Row(s, nNameWidth, nPortWidth).substr(0, nWidth);
        const bool bResult = s.nCode >= 0 && s.ePhase != SlotPhase::WaitingForBoard;
        const char* szColor = !m_bColor || !bResult ? "" : s.nCode == 0 ? "\033[32m" : "\033[31m";
        std::fprintf(m_pOut, "\r%s%s%s\033[K\n", szColor, strRow.c_str(),
                     *szColor ? "\033[0m" : "");
    }
    std::fprintf(m_pOut, "\r%s\033[K\n",
                 ("total: " + CountersText(total)).substr(0, nWidth).c_str());
    std::fflush(m_pOut);
    m_nRows = static_cast<int>(aSlots.size()) + 1;
}

void PrintSummary(std::FILE* pOut, const std::vector<SlotView>& aSlots, const JobCounters& total) {
    size_t nNameWidth = 5;
    size_t nPortWidth = 4;
    for (const SlotView& s : aSlots) {
        nNameWidth = std::max(nNameWidth, s.strName.size());
        nPortWidth = std::max(nPortWidth, s.strPort.size());
    }
    auto row = [&](const std::string& strName, const std::string& strPort,
                   const std::string& strJobs, const JobCounters& c, const std::string& strResult) {
        const double dYield = c.Yield();
        char szYield[16] = "-";
        if (dYield >= 0) std::snprintf(szYield, sizeof szYield, "%.1f %%", 100.0 * dYield);
        std::fprintf(pOut, "%s  %s  %5s  %5d  %5d  %8s  %s\n", Pad(strName, nNameWidth).c_str(),
                     Pad(strPort, nPortWidth).c_str(), strJobs.c_str(), c.nPass, c.nFail, szYield,
                     strResult.c_str());
    };
    std::fprintf(pOut, "%s  %s  %5s  %5s  %5s  %8s  %s\n", Pad("slot", nNameWidth).c_str(),
                 Pad("port", nPortWidth).c_str(), "jobs", "pass", "fail", "yield", "last result");
    int nJobs = 0;
    for (const SlotView& s : aSlots) {
        row(s.strName, s.strPort, std::to_string(s.nJobs), s.counters,
            s.nCode < 0 ? "-" : ResultText(s) + " (exit " + std::to_string(s.nCode) + ")");
        nJobs += s.nJobs;
    }
    row("total", "", std::to_string(nJobs), total, "");
    std::fflush(pOut);
}

std::FILE* OpenPrefixedStream(std::FILE* pTo, std::string strPrefix) {
    auto* p = new SPrefixed{pTo, std::move(strPrefix), {}};
    const cookie_io_functions_t io{nullptr, PrefixedWrite, nullptr, PrefixedClose};
    std::FILE* pFile = ::fopencookie(p, "w", io);
    if (pFile == nullptr) {
        delete p;
        return nullptr;
    }
    std::setvbuf(pFile, nullptr, _IOLBF, 0);
    return pFile;
}
