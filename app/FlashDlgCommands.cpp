// What the main window does when the operator acts, and what follows every load.
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "AboutDlg.h"
#include "FlashDlg.h"
#include "Resources.h"
#include "TextFormat.h"
#include "XmlProfile.h"

using namespace res;

namespace {

constexpr const char* kWaitForUpdate = "Please wait until update has finished!";

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
    UpdateData(true);
    if (m_com.IsOpen()) m_com.Close();

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

    const QString strChosen = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    m_strPath = QDir::toNativeSeparators(strChosen).toLocal8Bit().toStdString();
    UpdateData(false);
    LoadHexFile(m_strPath);
}

void CFlashDlg::LoadHexFile(const std::string& strPath) {
    if (!m_image.Load(strPath)) return;

    {
        CXmlProfile profile("Config.xml");
        profile.WriteString("Main", "Hex-File", strPath);
        profile.Save();
    }

    const int nLines = m_image.GetLineCount();
    if (m_image.GetTargetType() != 0) {
        EnableStart(true);
        m_strStatus = FormatText("File contains %d lines", nLines);
        SetProgressRange(nLines & 0xFFFF);
    } else {
        EnableStart(false);
        m_strStatus = "Unknown Hexfile";
        SetProgressRange(0);
        MessageBox("Unknown file!", MB_OK);
    }
    UpdateData(false);
}

void CFlashDlg::OnStartFlash() {
    m_engine.Start(m_nComPort);
    PaceFastTimer();
}

void CFlashDlg::OnAbout() {
    CAboutDlg about;
    about.exec();
}
