#include "FlashDlg.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimerEvent>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "AppIcon.h"
#include "ByteHandoff.h"
#include "DialogLayout.h"
#include "FlashApp.h"
#include "JobRecord.h"
#include "PortMap.h"
#include "Resources.h"
#include "TextFormat.h"
#include "XmlProfile.h"

using namespace res;

namespace {

const DlgTemplate& MainTemplate() {
    static const DlgTemplate tmpl{
        kMainTitle,
        320,
        164,
        {
            {IDOK, CtlKind::DefPushButton, "Exit", 250, 131, 50, 14, true, true},
            {IDC_STATIC, CtlKind::Label, "COM Port:", 19, 26, 34, 8, true, true},
            {IDC_PORT, CtlKind::DropList, nullptr, 56, 23, 49, 44, true, true},
            {IDC_STATIC, CtlKind::Label, "Hex File:", 23, 52, 28, 8, true, true},
            {IDC_PATH, CtlKind::ReadOnlyEdit, nullptr, 56, 50, 190, 14, true, true},
            {IDC_OPEN, CtlKind::PushButton, "Open", 249, 49, 50, 14, true, true},
            {IDC_PROGRESS, CtlKind::Progress, nullptr, 56, 73, 190, 14, true, true},
            {IDC_START, CtlKind::PushButton, "Start Flash", 55, 131, 190, 15, true, false},
            {IDC_STATUS, CtlKind::Label, nullptr, 57, 93, 185, 8, true, true},
            {IDC_ABOUT, CtlKind::PushButton, "About", 249, 23, 50, 14, true, true},
            {IDC_STATIC, CtlKind::Label, "Error Count", 16, 113, 39, 8, false, true},
            {IDC_ERRCOUNT, CtlKind::ReadOnlyEdit, nullptr, 56, 111, 40, 14, false, true},
        }};
    return tmpl;
}

// Inserts so that the entries stay sorted by their text in character order.
void AddSorted(QComboBox& list, const std::string& strText, int nData) {
    int nIndex = 0;
    while (nIndex < list.count() && list.itemText(nIndex).toStdString() <= strText)
        ++nIndex;
    list.insertItem(nIndex, QString::fromLocal8Bit(strText), nData);
}

std::string ToUpper(std::string str) {
    std::transform(str.begin(), str.end(), str.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    return str;
}

}  // namespace

CFlashDlg::CFlashDlg()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_engine(m_image, *this),
      m_strJobLog(DefaultJobLogPath()) {
    BuildDialog(*this, MainTemplate());
    m_pProgress = static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS));
    m_pPortList = static_cast<QComboBox*>(GetDlgItem(IDC_PORT));
    m_nProgressMax = m_pProgress->maximum();
    m_hIcon = AppIcon();

    auto button = [this](int nId) { return static_cast<QPushButton*>(GetDlgItem(nId)); };
    connect(button(IDOK), &QPushButton::clicked, this, &CFlashDlg::accept);
    connect(button(IDC_OPEN), &QPushButton::clicked, this, &CFlashDlg::OnOpen);
    connect(button(IDC_START), &QPushButton::clicked, this, &CFlashDlg::OnStartFlash);
    connect(button(IDC_ABOUT), &QPushButton::clicked, this, &CFlashDlg::OnAbout);
    // Every pick counts, also that of the entry already selected.
    connect(m_pPortList, &QComboBox::activated, this, &CFlashDlg::OnSelChangePort);
}

CFlashDlg::~CFlashDlg() {
    // The receive thread ends before anything it delivers to goes away.
    m_com.Close();
    // An update cut short by closing the window is recorded with the status it had reached.
    if (m_bJobOpen) RecordJob();
}

int CFlashDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CFlashDlg::OnInitDialog() {
    if (m_bInitDone) return true;
    m_bInitDone = true;

    UpdateData(false);

    // No system menu here: its stand-in is the window's context menu, also on Alt+Space.
    m_pSysMenu = new QMenu(this);
    const std::string strAboutMenu = kAboutMenuText;
    if (!strAboutMenu.empty()) {
        m_pSysMenu->addSeparator();
        m_pSysMenu->addAction(QString::fromUtf8(strAboutMenu))->setData(IDM_ABOUTBOX);
    }
    connect(m_pSysMenu, &QMenu::triggered, this,
            [this](QAction* pAction) { OnSysCommand(pAction->data().toUInt()); });
    auto* pMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(pMenuKey, &QShortcut::activated, this,
            [this] { m_pSysMenu->popup(mapToGlobal(QPoint(0, 0))); });

    setWindowIcon(m_hIcon);

    m_image.BuildSignatures();

    CXmlProfile profile("Config.xml");
    m_nComPort = profile.ReadInt("Main", "COM-Port", 0);
    profile.ReadString("Main", "Hex-File", "select file", m_strPath);
    profile.Save();

    if (ToUpper(m_strPath).find(".HEX") != std::string::npos)
        LoadHexFile(m_strPath);
    else
        EnableStart(false);

    int nNoted = 0;
    {
        CWinCom probe;
        m_pPortList->addItem(QStringLiteral("<none>"), 0);
        m_pPortList->setCurrentIndex(0);
        for (int n = 1; n <= 16; ++n) {
            if (!probe.TestComDevice(FormatText("COM%d:9600,n,8,1", n))) continue;
            AddSorted(*m_pPortList, FormatText("COM%d", n), n);
            m_pPortList->setItemData(m_pPortList->findData(n),
                                     QString::fromLocal8Bit(CComPortMap::Instance().DeviceFor(n)),
                                     Qt::ToolTipRole);
            if (n == m_nComPort) nNoted = n;
        }
    }

    m_com.m_nMsgId = static_cast<uint32_t>(g_nWmRecSerial);
    m_com.m_pTarget = this;

    if (m_nComPort != 0) {
        const std::string cMode = FormatText("COM%d:19200,N,8,1", m_nComPort);
        if (!m_com.Open(cMode)) MessageBox("opening COM port failed (" + cMode + ")", MB_ICONSTOP);
    }

    if (nNoted != 0) m_pPortList->setCurrentIndex(m_pPortList->findData(nNoted));

    m_engine.InitStartValues();
    m_nTimer101 = startTimer(1, Qt::PreciseTimer);
    m_nTimer102 = startTimer(m_nSecondPeriodMs);
    m_strErrorCount = std::string(1, '0');  // not a literal: GCC 12 warns falsely on that

    UpdateData(false);
    return true;
}

QWidget* CFlashDlg::GetDlgItem(int nId) const {
    return FindControl(*this, nId);
}

int CFlashDlg::GetProgressPos() const {
    return m_pProgress->value();
}

void CFlashDlg::UpdateData(bool bSaveAndValidate) {
    auto* pPath = static_cast<QLineEdit*>(GetDlgItem(IDC_PATH));
    auto* pStatus = static_cast<QLabel*>(GetDlgItem(IDC_STATUS));
    auto* pErrors = static_cast<QLineEdit*>(GetDlgItem(IDC_ERRCOUNT));
    // Fields that lag their texts would hand back what they showed, not what is.
    if (bSaveAndValidate && m_bTextsDue) UpdateData(false);
    if (bSaveAndValidate) {
        m_strPath = pPath->text().toLocal8Bit().toStdString();
        m_strStatus = pStatus->text().toLocal8Bit().toStdString();
        m_strErrorCount = pErrors->text().toLocal8Bit().toStdString();
    } else {
        pPath->setText(QString::fromLocal8Bit(m_strPath));
        pStatus->setText(QString::fromLocal8Bit(m_strStatus));
        pErrors->setText(QString::fromLocal8Bit(m_strErrorCount));
        m_strErrorCountShown = m_strErrorCount;
        m_bTextsDue = false;
    }
}

void CFlashDlg::MessageBox(const std::string& strText, unsigned nStyle) {
    if (m_fnMessageBox)
        m_fnMessageBox(strText, nStyle);
    else
        ShowMessageBox(this, strText, nStyle);
}

void CFlashDlg::SetProgressRange(int nMax) {
    m_nProgressMax = nMax;
    m_nProgressPos = std::clamp(m_nProgressPos, 0, nMax);
    // An empty range would make the bar a busy indicator; it stays an empty bar instead.
    m_pProgress->setRange(0, std::max(nMax, 1));
    m_pProgress->setValue(m_nProgressPos);
}

void CFlashDlg::EnableStart(bool bEnable) {
    GetDlgItem(IDC_START)->setEnabled(bEnable);
}

void CFlashDlg::PaceFastTimer() {
    const int32_t nState = m_engine.GetState();
    const bool bStepsAct = nState >= WaitGreeting && nState <= Transfer;
    if (!bStepsAct && m_nTimer101 != 0) {
        killTimer(m_nTimer101);
        m_nTimer101 = 0;
    } else if (bStepsAct && m_nTimer101 == 0) {
        m_nTimer101 = startTimer(1, Qt::PreciseTimer);
    }
}

bool CFlashDlg::IsUpdateRunning() const {
    return m_engine.IsBusy() || m_engine.GetState() == Transfer;
}

// --- CUpdateHost

bool CFlashDlg::IsOpen() {
    return m_com.IsOpen();
}

void CFlashDlg::Close() {
    m_com.Close();
}

bool CFlashDlg::Open(const std::string& cMode) {
    if (m_com.Open(cMode)) return true;
    m_strOpenFailed = cMode;
    return false;
}

bool CFlashDlg::Write(const uint8_t* pData, uint32_t nLength) {
    // Lines go out only during the transfer; everything else written is the entry sequence.
    if (m_engine.GetState() == Transfer) ++m_nLinesSent;
    return m_com.Write(pData, nLength);
}

void CFlashDlg::SetProgressPos(int nPos) {
    // Like a native progress bar, a position outside the range sticks to its end.
    m_nProgressPos = std::clamp(nPos, 0, m_nProgressMax);
    ShowProgress(false);
}

void CFlashDlg::ShowProgress(bool bForce) {
    // The bar and the line count change with every line of a transfer; no eye follows them
    // that fast, and painting them holds the window thread up right after a line was written,
    // before the kernel has passed it on.
    constexpr auto kProgressPaint = std::chrono::milliseconds(40);
    const bool bBarDue = m_pProgress->value() != m_nProgressPos;
    if (!bBarDue && !m_bTextsDue) return;
    const auto now = std::chrono::steady_clock::now();
    if (!bForce && m_engine.GetState() == Transfer && now - m_progressShown < kProgressPaint)
        return;
    if (bBarDue) m_pProgress->setValue(m_nProgressPos);
    if (m_bTextsDue) UpdateData(false);
    m_progressShown = now;
}

void CFlashDlg::SetStatusText(const std::string& strText) {
    m_strStatus = strText;
}

void CFlashDlg::SetErrorCountText(const std::string& strText) {
    m_strErrorCount = strText;
}

void CFlashDlg::Refresh() {
    // A new error count, and every text outside a transfer, is shown at once.
    m_bTextsDue = true;
    ShowProgress(m_strErrorCount != m_strErrorCountShown);
}

void CFlashDlg::ShowMessage(const std::string& strText) {
    ShowProgress(true);
    MessageBox(strText, MB_OK);
}

// --- delivery, timers, system menu

bool CFlashDlg::SendByte(uint32_t nMsgId, uint32_t nWParam, const std::atomic<bool>& bRun) {
    return SendByteEvent(this, static_cast<int>(nMsgId), nWParam, bRun);
}

bool CFlashDlg::event(QEvent* pEvent) {
    if (pEvent->type() == g_nWmRecSerial) {
        // A reply is acted on at once, not at the next tick; the timers still time every wait.
        if (static_cast<CRecSerialEvent*>(pEvent)->Handle([this](uint32_t nWParam) {
                m_engine.OnReceivedByte(static_cast<uint8_t>(nWParam & 0xFF));
            }))
            m_engine.StepNow();
        ShowProgress(false);
        TrackJob();
        return true;
    }
    return QDialog::event(pEvent);
}

void CFlashDlg::timerEvent(QTimerEvent* pEvent) {
    const int nId = pEvent->timerId();
    if (nId != m_nTimer101 && nId != m_nTimer102) {
        QDialog::timerEvent(pEvent);
        return;
    }
    m_engine.OnTimer(nId == m_nTimer102);
    ShowProgress(false);
    TrackJob();
    PaceFastTimer();
}

void CFlashDlg::TrackJob() {
    const bool bRunning = IsUpdateRunning();
    if (bRunning && !m_bJobOpen) {
        m_bJobOpen = true;
        m_jobTime = std::chrono::system_clock::now();
        m_jobStart = std::chrono::steady_clock::now();
    } else if (!bRunning && m_bJobOpen) {
        RecordJob();
    }
}

void CFlashDlg::RecordJob() {
    m_bJobOpen = false;
    const TargetType nType = m_image.GetTargetType();
    JobRecord record;
    record.strTime = UtcTimeText(m_jobTime);
    record.strHost = HostName();
    record.strTool = "korvi-flasher";
    record.strVersion = kAppVersion;
    record.nComNumber = m_nComPort;
    record.strDevice = CComPortMap::Instance().DeviceFor(m_nComPort);
    record.strFile = m_strImagePath;
    record.strSha256 = m_strImageSha256;
    record.nFileSize = m_nImageSize;
    record.nTargetType = nType;
    record.nBaud = GetTargetInfo(nType).nBaud;
    record.strResult = m_strStatus;
    record.nErrorCount = m_engine.GetErrorCount();
    record.nLinesSent = m_nLinesSent;
    record.dDurationS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_jobStart).count();
    if (m_strJobLog.empty()) return;
    // The update has ended either way; a log that cannot be written must not disturb it.
    const std::string strError = AppendJobRecord(record, m_strJobLog);
    if (!strError.empty())
        std::fprintf(stderr, "korvi-flasher: job not recorded: %s\n", strError.c_str());
}

void CFlashDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    if (m_pSysMenu) m_pSysMenu->exec(pEvent->globalPos());
}

void CFlashDlg::OnSysCommand(unsigned nID) {
    constexpr unsigned SC_MINIMIZE = 0xF020;
    constexpr unsigned SC_CLOSE = 0xF060;
    constexpr unsigned SC_RESTORE = 0xF120;
    switch (nID & 0xFFF0) {
        case IDM_ABOUTBOX:
            OnAbout();
            break;
        case SC_CLOSE:
            close();
            break;
        case SC_MINIMIZE:
            showMinimized();
            break;
        case SC_RESTORE:
            showNormal();
            break;
        default:
            break;
    }
}
