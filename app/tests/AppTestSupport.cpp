#include "AppTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <fstream>
#include <sstream>

#include "Firmware.h"
#include "HexRecord.h"
#include "PortMap.h"
#include "Resources.h"

void AppTest::SetUp() {
    ASSERT_TRUE(m_dir.isValid());
    m_strOldDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    CComPortMap::Instance().SetEnumerate(false);
    CComPortMap::Instance().ClearPins();
}

void AppTest::TearDown() {
    CComPortMap::Instance().ClearPins();
    QDir::setCurrent(m_strOldDir);
}

CPtyPair& AppTest::PinPty(int nCom) {
    auto pPty = std::make_unique<CPtyPair>();
    EXPECT_TRUE(pPty->Create());
    CComPortMap::Instance().Pin(nCom, pPty->SlavePath());
    m_aPtys.push_back(std::move(pPty));
    return *m_aPtys.back();
}

void AppTest::PinMissing(int nCom) {
    CComPortMap::Instance().Pin(nCom, Path("no-such-device"));
}

std::string AppTest::Path(const std::string& strName) const {
    return m_dir.filePath(QString::fromStdString(strName)).toStdString();
}

void AppTest::WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream(strPath, std::ios::binary) << strText;
}

std::string AppTest::ReadFile(const std::string& strPath) {
    std::ostringstream text;
    text << std::ifstream(strPath, std::ios::binary).rdbuf();
    return text.str();
}

std::string AppTest::Config(int nComPort, const std::string& strHexFile) {
    return "<profile><Main><COM-Port>" + std::to_string(nComPort) + "</COM-Port><Hex-File>" +
           strHexFile + "</Hex-File></Main></profile>";
}

std::unique_ptr<CFlashDlg> AppTest::MakeWindow() {
    auto pDlg = std::make_unique<CFlashDlg>();
    pDlg->SetJobLogPath(JobLogPath());
    pDlg->SetMessageBoxSeam([this](const std::string& strText, unsigned nStyle) {
        m_aBoxes.emplace_back(strText, nStyle);
    });
    return pDlg;
}

std::unique_ptr<CFlashDlg> AppTest::StartWindow(int nComPort, const std::string& strHexFile) {
    if (nComPort >= 0) WriteFile("Config.xml", Config(nComPort, strHexFile));
    auto pDlg = MakeWindow();
    pDlg->OnInitDialog();
    return pDlg;
}

bool WaitUntil(const std::function<bool()>& bDone, int nMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!bDone()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        QTest::qWait(2);
    }
    return true;
}

std::string MakeHexText(int nType, int nRecords) {
    return JoinLines(MakeFirmware(nType, nRecords), "\r\n");
}

QString StatusLine(const CFlashDlg& dlg) {
    return static_cast<QLabel*>(dlg.GetDlgItem(res::IDC_STATUS))->text();
}

std::map<uint32_t, uint8_t> FlashOfImage(const CHexImage& image) {
    std::vector<std::string> aLines;
    aLines.reserve(static_cast<size_t>(image.GetLineCount()));
    for (int i = 0; i < image.GetLineCount(); ++i)
        aLines.push_back(image.GetLine(i));
    return FlashImageOf(aLines);
}

std::vector<std::string> PortEntries(const CFlashDlg& dlg) {
    const auto* pList = static_cast<QComboBox*>(dlg.GetDlgItem(res::IDC_PORT));
    std::vector<std::string> aEntries;
    aEntries.reserve(static_cast<size_t>(pList->count()));
    for (int i = 0; i < pList->count(); ++i)
        aEntries.push_back(pList->itemText(i).toStdString());
    return aEntries;
}

void PickPort(CFlashDlg& dlg, const std::string& strEntry) {
    auto* pList = static_cast<QComboBox*>(dlg.GetDlgItem(res::IDC_PORT));
    const int nIndex = pList->findText(QString::fromStdString(strEntry));
    ASSERT_GE(nIndex, 0) << strEntry;
    pList->setCurrentIndex(nIndex);
    emit pList->activated(nIndex);
}

CModalWatcher::CModalWatcher(std::function<void(QWidget*)> fnSeen) {
    QObject::connect(&m_timer, &QTimer::timeout, [fnSeen = std::move(fnSeen)] {
        if (QWidget* pModal = QApplication::activeModalWidget()) fnSeen(pModal);
    });
    m_timer.start(10);
}
