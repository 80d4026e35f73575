#include "UpdateEngine.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Format(const char* szFormat, int nFirst, int nSecond) {
    char aText[64];
    std::snprintf(aText, sizeof(aText), szFormat, nFirst, nSecond);
    return aText;
}

bool IsReply(uint8_t ch) {
    return ch == '~' || ch == '-' || ch == '%';
}

bool HasRecordType(const std::string& strLine, char chType) {
    return strLine.size() >= 9 && strLine[0] == ':' && strLine[7] == '0' && strLine[8] == chType;
}

// Extended segment (02) or linear (04) address record: it changes where later data go.
bool IsAddressRecord(const std::string& strLine) {
    return HasRecordType(strLine, '2') || HasRecordType(strLine, '4');
}

}  // namespace

CUpdateEngine::CUpdateEngine(CHexImage& image, CUpdateHost& host) : m_image(image), m_host(host) {}

void CUpdateEngine::InitStartValues() {
    m_nState = Idle;
    m_nCountdown = 1;
    m_bBusy = false;
    m_strReceived.clear();
    m_nPrevPage = 0;
    m_abEntry = {{'^', ';', ']'}};
    m_host.SetErrorCountText("0");
}

void CUpdateEngine::OnReceivedByte(uint8_t ch) {
    if (IsReply(ch) && m_nOutstanding > 0) --m_nOutstanding;
    // Only presence is ever asked for, so a byte already held need not be kept twice: the
    // text stays within 256 bytes whatever arrives, and every search answers as before.
    if (!Contains(ch)) m_strReceived.push_back(static_cast<char>(ch));
}

void CUpdateEngine::OnTimer(bool bSecondTick) {
    Step();
    if (bSecondTick && m_nCountdown > 0) --m_nCountdown;
}

void CUpdateEngine::Start(int nComNumber) {
    if (!m_host.IsOpen()) {
        m_host.ShowMessage("COM port not ready!");
        return;
    }
    m_host.Close();
    char aMode[48];
    std::snprintf(aMode, sizeof(aMode), GetTargetInfo(m_image.GetTargetType()).szModeFormat,
                  nComNumber);
    m_host.Open(aMode);
    m_nState = WaitReady;
    m_nCountdown = 0;
    m_nLine = 0;
    m_nErrorCount = 0;
    m_bBusy = false;
    // Bytes of the previous port session must not drive this run (a stale "?" would start a
    // transfer without greeting and without the busy flag).
    m_strReceived.clear();
    m_nOutstanding = 0;
    m_nUnitFirst = 0;
    m_host.SetProgressPos(0);
    m_host.SetErrorCountText("0");
    m_host.SetStatusText("Start Bootloader");
    m_host.Refresh();
}

bool CUpdateEngine::Contains(uint8_t ch) const {
    return m_strReceived.find(static_cast<char>(ch)) != std::string::npos;
}

bool CUpdateEngine::ContainsGreeting() const {
    const int nGreeting = GetTargetInfo(m_image.GetTargetType()).nGreeting;
    return nGreeting >= 0 && Contains(static_cast<uint8_t>(nGreeting));
}

void CUpdateEngine::WriteEntry() {
    m_host.Write(m_abEntry.data(), m_abEntry.size());
}

uint8_t CUpdateEngine::PageOf(int32_t nLine) const {
    return CHexImage::ParseRecordHeader(m_image.LineAt(nLine)).nPage;
}

void CUpdateEngine::WriteLine(int32_t nLine) {
    const std::string& strLine = m_image.LineAt(nLine);
    m_host.Write(reinterpret_cast<const uint8_t*>(strLine.data()),
                 static_cast<uint32_t>(strLine.size()));
    m_nUnitFirst = (m_nOutstanding == 0) ? nLine : std::min(m_nUnitFirst, nLine);
    ++m_nOutstanding;
}

void CUpdateEngine::Step() {
    switch (m_nState) {
        case WaitGreeting:
            StepWaitGreeting();
            break;
        case SendEntry:
            StepSendEntry();
            break;
        case WaitReady:
            StepWaitReady();
            break;
        case Transfer:
            StepTransfer();
            m_host.Refresh();
            break;
        default:
            break;
    }
}

void CUpdateEngine::StepWaitGreeting() {
    if (ContainsGreeting() && m_host.IsOpen()) {
        m_nState = SendEntry;
        m_nCountdown = 2;
        m_nLine = 0;
        m_bBusy = true;
        m_nErrorCount = 0;
        m_host.Refresh();
    }
    m_strReceived.clear();
}

void CUpdateEngine::StepSendEntry() {
    if (m_nCountdown == 2) {
        WriteEntry();
        m_host.Refresh();
        m_nState = WaitReady;
        m_nCountdown = 3;
    }
    if (m_nCountdown == 0) {
        m_host.SetStatusText("Fehler");
        m_bBusy = false;
        m_host.Refresh();
    } else if (ContainsGreeting() && m_host.IsOpen()) {
        m_nState = WaitReady;
        m_nCountdown = 3;
        WriteEntry();
    }
    m_strReceived.clear();
}

void CUpdateEngine::StepWaitReady() {
    if (Contains('?')) {
        m_nState = Transfer;
        m_nCountdown = 10;
        m_nOutstanding = 0;
        m_nUnitFirst = m_nLine;
        SendLine();
        m_host.SetProgressPos(m_nLine);
        m_host.SetStatusText(Format("Zeile %d von %d", m_nLine, m_image.GetLineCount()));
    } else if (ContainsGreeting()) {
        WriteEntry();
    }
    if (m_nCountdown == 0) {
        m_host.SetStatusText("Please reset Korvi device...");
        m_bBusy = false;
        m_host.Refresh();
        m_nState = WaitGreeting;
    }
    m_strReceived.clear();
}

void CUpdateEngine::StepTransfer() {
    if (Contains('@')) {
        m_strReceived.clear();
        m_nState = Finished;
        m_host.SetStatusText("Update successful");
        m_bBusy = false;
        m_host.Refresh();
        return;  // "@" ends the run: nothing may count, resend or replace the success text
    }
    if (m_nCountdown == 0) {
        // Replies still due by now are taken as lost, and their lines as not written.
        m_nOutstanding = 0;
        if (!CountErrorAndResend()) {
            m_host.SetStatusText("Fault! Please try again!");
            m_bBusy = false;
            m_host.SetProgressPos(0);
            m_host.Refresh();
            m_nState = Finished;
        }
    }
    if (Contains('-') || Contains('%')) {
        const bool bChecksum = Contains('-');
        m_strReceived.clear();
        if (!CountErrorAndResend()) {
            m_host.SetStatusText(bChecksum ? "Checksum Error! Please try again!"
                                           : "Page Error! Please try again!");
            m_bBusy = false;
            m_host.SetProgressPos(0);
            m_nState = Finished;
        }
    } else if (Contains('#')) {
        m_host.SetStatusText("File Error!");
        m_host.SetProgressPos(0);
        m_bBusy = false;
        m_nState = Finished;
    } else if (Contains('~')) {
        m_strReceived.clear();
        // A run that has just ended writes nothing more; and a "~" that leaves replies to
        // resent lines still due only answers one of them: moving on now would let an error
        // on an earlier resent line arrive after the rewind point has left its page.
        if (m_nState != Transfer || m_nOutstanding > 0) return;
        ++m_nLine;
        m_nCountdown = 10;
        m_nUnitFirst = m_nLine;
        SendLine();
        m_host.SetProgressPos(m_nLine);
        m_host.SetStatusText(Format("Line %d of %d", m_nLine, m_image.GetLineCount()));
    }
}

bool CUpdateEngine::CountErrorAndResend() {
    CountError();
    if (m_nErrorCount >= 3) return false;
    ResendPage();
    return true;
}

void CUpdateEngine::SendLine() {
    if (m_nLine < 0 || m_nLine >= m_image.GetLineCount()) return;
    m_nPage = PageOf(m_nLine);
    WriteLine(m_nLine);
}

bool CUpdateEngine::SendPageLine() {
    const int nCount = m_image.GetLineCount();
    if (m_nLine < 0 || m_nLine >= nCount) return false;
    m_nPage = PageOf(m_nLine);
    m_host.SetStatusText(Format("Line %d von %d", m_nLine, nCount));
    m_host.Refresh();
    WriteLine(m_nLine);
    ++m_nLine;
    if (m_nPage == m_nPrevPage) return true;
    m_nPrevPage = m_nPage;
    return false;
}

void CUpdateEngine::RewindPage() {
    // Lines written since the engine last moved on may still be unconfirmed (a resend writes
    // many at once); the rewind starts from the earliest of them so none can be skipped.
    m_nLine = std::min(m_nLine, m_image.GetLineCount());
    if (m_nUnitFirst < m_nLine) {
        m_nLine = m_nUnitFirst;
        m_nPage = PageOf(m_nLine);
    }
    m_nPrevPage = m_nPage;
    // The latest extended address record from the line the rewind starts on down to the stop.
    int32_t nSegmentStart = -1;
    if (m_nLine < m_image.GetLineCount() && IsAddressRecord(m_image.LineAt(m_nLine)))
        nSegmentStart = m_nLine;
    while (m_nLine > 0) {
        --m_nLine;
        m_nPage = PageOf(m_nLine);
        if (m_nPage != m_nPrevPage) break;
        if (nSegmentStart < 0 && IsAddressRecord(m_image.LineAt(m_nLine))) nSegmentStart = m_nLine;
    }
    // A line before an extended address record belongs to another segment: sent now, after
    // that record, it would land at a wrong address. The resend then begins with the record
    // itself, as the one line written before going on.
    if (nSegmentStart >= 0 && m_nPage != m_nPrevPage) {
        m_nLine = nSegmentStart;
        std::swap(m_nPage, m_nPrevPage);
    }
}

void CUpdateEngine::ResendPage() {
    RewindPage();
    const int32_t nFirst = m_nLine;
    for (;;) {
        // The end-of-file record waits until the lines before it are answered: the target
        // finishes on it, so a line it refuses in the same burst could never be sent again.
        if (m_nLine > nFirst && m_nLine < m_image.GetLineCount() &&
            HasRecordType(m_image.LineAt(m_nLine), '1'))
            break;
        if (!SendPageLine()) break;
        m_host.SetProgressPos(m_nLine);
    }
    // Point at the last line written, as during normal transfer, so that the "~" answering
    // it sends the line right after it.
    if (m_nLine > nFirst) --m_nLine;
    m_nCountdown = 5;
}

void CUpdateEngine::CountError() {
    ++m_nErrorCount;
    m_host.SetErrorCountText(std::to_string(m_nErrorCount));
}
