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

// An address record for base 0, where every target starts after its greeting.
bool IsZeroBase(const std::string& strLine) {
    return strLine.size() >= 13 && strLine.compare(9, 4, "0000") == 0;
}

// Records after which the target cannot be set right by resending what came before them: an
// address record moves it to another segment, the end-of-file record ends its transfer.
bool IsBoundary(const std::string& strLine) {
    return IsAddressRecord(strLine) || HasRecordType(strLine, '1');
}

constexpr const char* kChecksumText = "Checksum Error! Please try again!";
constexpr const char* kPageText = "Page Error! Please try again!";

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
    if (IsReply(ch)) {
        if (m_nOutstanding > 0)
            --m_nOutstanding;
        else if (m_bSettling || ch != '~')
            ++m_nExtraReplies;  // a surplus "~" between two steps changes nothing
    }
    m_nQuietTicks = 0;
    // Only presence is ever asked for, so a byte already held need not be kept twice: the
    // text stays within 256 bytes whatever arrives, and every search answers as before.
    if (!Contains(ch)) m_strReceived.push_back(static_cast<char>(ch));
}

void CUpdateEngine::OnTimer(bool bSecondTick) {
    if (m_bSettling) {
        ++m_nSettleTicks;
        ++m_nQuietTicks;
    }
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
    m_bSettling = false;
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

// A target ignores what is not a record, and an empty write gets no answer at all.
bool CUpdateEngine::IsWritable(int32_t nLine) const {
    const std::string& strLine = m_image.LineAt(nLine);
    return !strLine.empty() && strLine[0] == ':';
}

int32_t CUpdateEngine::NextWritable(int32_t nLine) const {
    const int32_t nCount = m_image.GetLineCount();
    nLine = std::max(nLine, 0);
    while (nLine < nCount && !IsWritable(nLine))
        ++nLine;
    return nLine;
}

void CUpdateEngine::WriteLine(int32_t nLine) {
    const std::string& strLine = m_image.LineAt(nLine);
    m_host.Write(reinterpret_cast<const uint8_t*>(strLine.data()),
                 static_cast<uint32_t>(strLine.size()));
    ++m_nOutstanding;
    if (IsAddressRecord(strLine)) {
        m_nSegment = nLine;
        m_bBaseMoved |= !IsZeroBase(strLine);
    }
    if (HasRecordType(strLine, '1')) m_bEndWritten = true;
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
        m_nExtraReplies = 0;
        m_nSegment = m_nSegmentTaken = -1;
        m_bBaseMoved = false;
        m_bEndWritten = false;
        m_nLine = NextWritable(m_nLine);
        m_nUnitFirst = m_nInStep = m_nLine;
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
        if (m_bEndWritten) {
            m_strReceived.clear();
            m_nState = Finished;
            m_bSettling = false;
            m_host.SetStatusText("Update successful");
            m_bBusy = false;
            m_host.Refresh();
            return;  // "@" ends the run: nothing may count, resend or replace the success text
        }
        // Nothing written can have earned it yet.
        m_strReceived.erase(m_strReceived.find('@'), 1);
    }
    if (m_bSettling) {
        StepSettling();
        return;
    }
    if (m_nCountdown == 0) {
        // Replies still due are taken as lost; one may yet come, and is waited out.
        if (CountErrorOrEnd("Fault! Please try again!"))
            BeginSettling(Settle::Resend);
        else
            m_host.Refresh();
    }
    if (Contains('-') || Contains('%')) {
        const char* szFinal = Contains('-') ? kChecksumText : kPageText;
        m_strReceived.clear();
        if (CountErrorOrEnd(szFinal) && !m_bSettling) BeginSettling(Settle::Resend);
    } else if (Contains('#')) {
        End("File Error!");
    } else if (Contains('~')) {
        m_strReceived.clear();
        // A run that has just ended writes nothing more; and while replies to a burst are
        // still due, one "~" only answers one of its lines.
        if (m_nState != Transfer || m_bSettling || m_nOutstanding > 0) return;
        MoveOn();
    }
}

void CUpdateEngine::BeginSettling(Settle eReason) {
    m_bSettling = true;
    m_eSettle = eReason;
    m_nSettleTicks = 0;
    m_nQuietTicks = 0;
}

void CUpdateEngine::StepSettling() {
    if (Contains('#')) {
        End("File Error!");
        return;
    }
    if (m_nQuietTicks < kQuietTicks && m_nSettleTicks < kMaxSettleTicks) return;
    const bool bSlipped = m_nExtraReplies > 0;
    const bool bRefused = Contains('-') || Contains('%');
    const char* szFinal = Contains('-') ? kChecksumText : kPageText;
    m_strReceived.clear();
    m_host.DiscardInput();
    m_bSettling = false;
    m_nOutstanding = 0;
    m_nExtraReplies = 0;
    if (m_eSettle == Settle::Boundary) {
        if (!bRefused) {
            InStepUpTo(m_nLine);
            SendCurrent("Line %d of %d");
            return;
        }
        // A line already counted as answered was refused after all; which one is unknown.
        if (CountErrorOrEnd(szFinal)) ResendPage(m_nInStep);
        return;
    }
    // Every reply due came and no more: the counting is in step up to the unanswered lines.
    if (!bSlipped) InStepUpTo(m_nUnitFirst);
    ResendPage(m_nInStep);
}

void CUpdateEngine::InStepUpTo(int32_t nLine) {
    m_nInStep = nLine;
    if (m_nSegment >= 0 && m_nSegment < nLine) m_nSegmentTaken = m_nSegment;
}

void CUpdateEngine::MoveOn() {
    const int32_t nCount = m_image.GetLineCount();
    // Had the target refused the address record just answered, a line sent now would be
    // written into the old segment: a stray "~" must not be able to stand in for its answer.
    // While every base written is 0, the target's start value, a refusal changes nothing.
    const bool bAfterAddress =
        m_bBaseMoved && m_nLine < nCount && IsAddressRecord(m_image.LineAt(m_nLine));
    m_nLine = NextWritable(m_nLine + 1);
    m_nUnitFirst = m_nLine;
    if (bAfterAddress || (m_nLine < nCount && IsBoundary(m_image.LineAt(m_nLine)))) {
        BeginSettling(Settle::Boundary);
        return;
    }
    SendCurrent("Line %d of %d");
}

void CUpdateEngine::SendCurrent(const char* szFormat) {
    m_nCountdown = 10;
    SendLine();
    m_host.SetProgressPos(m_nLine);
    m_host.SetStatusText(Format(szFormat, m_nLine, m_image.GetLineCount()));
}

bool CUpdateEngine::CountErrorOrEnd(const char* szFinal) {
    CountError();
    if (m_nErrorCount < 3) return true;
    End(szFinal);
    return false;
}

void CUpdateEngine::End(const char* szText) {
    m_host.SetStatusText(szText);
    m_host.SetProgressPos(0);
    m_bBusy = false;
    m_bSettling = false;
    m_nState = Finished;
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

void CUpdateEngine::RewindPage(int32_t nFrom) {
    const int32_t nCount = m_image.GetLineCount();
    m_nLine = std::clamp(nFrom, 0, nCount);
    if (m_nLine < nCount) m_nPage = PageOf(m_nLine);
    m_nPrevPage = m_nPage;
    while (m_nLine > 0) {
        --m_nLine;
        if (!IsWritable(m_nLine)) continue;
        m_nPage = PageOf(m_nLine);
        if (m_nPage != m_nPrevPage) break;
    }
    // Resent after the address record last written, a line of an earlier segment would land
    // in the wrong one; everything before that record is known to be answered.
    if (m_nLine < m_nSegment && m_nSegment < nCount) m_nLine = m_nSegment;
}

void CUpdateEngine::ResendPage(int32_t nFrom) {
    RewindPage(nFrom);
    const int32_t nCount = m_image.GetLineCount();
    int32_t nFirst = -1;
    int32_t nLast = -1;
    for (;;) {
        const int32_t nNext = NextWritable(m_nLine);
        // Boundary records go out only once the lines before them are answered, and nothing
        // follows an address record the target may not have taken.
        if (nNext >= nCount || (nLast >= 0 && IsBoundary(m_image.LineAt(nNext)))) break;
        if (nLast >= 0 && m_bBaseMoved && nLast != m_nSegmentTaken &&
            IsAddressRecord(m_image.LineAt(nLast)))
            break;
        m_nLine = nNext;
        const bool bSamePage = SendPageLine();
        nLast = m_nLine - 1;
        if (nFirst < 0) nFirst = nLast;
        if (!bSamePage) break;
        m_host.SetProgressPos(m_nLine);
    }
    // Point at the last line written, as during normal transfer, so that the "~" answering
    // it moves on to the line right after it.
    if (nLast >= 0) m_nLine = nLast;
    m_nUnitFirst = nFirst >= 0 ? nFirst : m_nLine;
    m_nCountdown = 5;
}

void CUpdateEngine::CountError() {
    ++m_nErrorCount;
    m_host.SetErrorCountText(std::to_string(m_nErrorCount));
}
