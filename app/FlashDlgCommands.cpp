// What the main window does when the operator acts, and what follows every load.
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

#include "AboutDlg.h"
#include "FlashDlg.h"
#include "HexCheck.h"
#include "JobRecord.h"
#include "Resources.h"
#include "TextFormat.h"
#include "XmlProfile.h"

using namespace res;

namespace {

constexpr const char* kWaitForUpdate = "Please wait until update has finished!";
constexpr const char* kCannotRead = "The file could not be read!";
constexpr const char* kFileContains = "File contains %d lines";

// Leading decimal digits of what follows "COM"; none give 0.
int PortNumberOf(const std::string& strEntry) {
    int nNumber = 0;
    for (size_t i = 3; i < strEntry.size() && strEntry[i] >= '0' && strEntry[i] <= '9'; ++i) {
        nNumber = nNumber * 10 + (strEntry[i] - '0');
        if (nNumber > 100000) break;
    }
    return nNumber;
}

}  // namespace

void CFlashDlg::accept() {
    if (m_engine.IsBusy()) {
        MessageBox(kWaitForUpdate, MB_OK);
        return;
    }
    UpdateData(true);
    QDialog::accept();
}

void CFlashDlg::OnSelChangePort() {
    // Reopening the port would cut the running update off, or send its rest to another device.
    if (IsUpdateRunning()) {
        m_pPortList->setCurrentIndex(std::max(m_pPortList->findData(m_nComPort), 0));
        MessageBox(kWaitForUpdate, MB_OK);
        return;
    }
    UpdateData(true);
    if (m_com.IsOpen()) m_com.Close();
    if (m_engine.GetState() != Idle && m_engine.GetState() != Finished) {
        // Start's wait for a greeting was on the port just closed, at the file's speed: it ends
        // here, and the status no longer asks for a reset that could not be heard.
        m_engine.InitStartValues();
        m_strStatus = FormatText(kFileContains, m_image.GetLineCount());
        UpdateData(false);
    }

    const int nIndex = m_pPortList->currentIndex();
    if (nIndex <= 0) return;

    m_nComPort = PortNumberOf(m_pPortList->itemText(nIndex).toLocal8Bit().toStdString());
    const std::string cMode = FormatText("COM%d:9600,N,8,1", m_nComPort);
    if (!m_com.Open(cMode)) MessageBox("opening COM port failed (" + cMode + ")", MB_ICONSTOP);

    CXmlProfile profile("Config.xml");
    profile.WriteInt("Main", "COM-Port", m_nComPort);
    profile.Save();
}

void CFlashDlg::OnOpen() {
    // Replacing the lines under a running transfer would send the target a mix of two
    // files; the operator is told to wait as for Exit.
    if (IsUpdateRunning()) {
        MessageBox(kWaitForUpdate, MB_OK);
        return;
    }

    QFileDialog dialog(this, QString(), QString(), QStringLiteral("Hex file (*.hex)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    // The engine went on stepping while the dialog was open: a greeting may have started one.
    if (IsUpdateRunning()) {
        MessageBox(kWaitForUpdate, MB_OK);
        return;
    }

    const std::string strShown = m_strPath;
    const QString strChosen = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    m_strPath = QDir::toNativeSeparators(strChosen).toLocal8Bit().toStdString();
    UpdateData(false);
    if (!LoadHexFile(m_strPath)) {
        // The field names the file that Start would send: still the one loaded before.
        m_strPath = strShown;
        UpdateData(false);
        MessageBox(kCannotRead, MB_OK);
    }
}

bool CFlashDlg::LoadHexFile(const std::string& strPath) {
    if (!m_image.Load(strPath)) return false;
    m_strImagePath = strPath;
    // Digested right after the load, so that the job log names the file as it was read.
    if (!DigestFile(strPath, m_strImageSha256, m_nImageSize)) {
        m_strImageSha256.clear();
        m_nImageSize = 0;
    }

    {
        CXmlProfile profile("Config.xml");
        profile.WriteString("Main", "Hex-File", strPath);
        profile.Save();
    }

    // A Start before may still wait for a greeting, on a port opened at the speed of the file it
    // had: the file loaded now goes out only on a Start of its own.
    m_engine.InitStartValues();
    const int nLines = m_image.GetLineCount();
    if (m_image.GetTargetType() == 0) {
        EnableStart(false);
        m_strStatus = "Unknown Hexfile";
        SetProgressRange(0);
        MessageBox("Unknown file!", MB_OK);
    } else if (const HexCheckResult check = CheckHexImage(m_image); !check.IsValid()) {
        // The target would refuse it partway, leaving a half-written device.
        EnableStart(false);
        m_strStatus = check.aErrors.front().strText;
        SetProgressRange(0);
        MessageBox(m_strStatus, MB_OK);
    } else {
        EnableStart(true);
        m_strStatus = FormatText(kFileContains, nLines);
        SetProgressRange(nLines & 0xFFFF);
    }
    UpdateData(false);
    return true;
}

void CFlashDlg::OnStartFlash() {
    // A new Start cuts the running update short: it is recorded as far as it got.
    if (m_bJobOpen) RecordJob();
    m_nLinesSent = 0;
    m_strOpenFailed.clear();
    m_engine.Start(m_nComPort);
    // The engine goes on waiting for a greeting on the closed port, asking for a reset.
    if (!m_strOpenFailed.empty())
        MessageBox("opening COM port failed (" + m_strOpenFailed + ")", MB_ICONSTOP);
    TrackJob();
    PaceFastTimer();
}

void CFlashDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}
