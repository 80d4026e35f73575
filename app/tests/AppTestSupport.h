#pragma once

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "Firmware.h"
#include "FlashDlg.h"
#include "PortMap.h"
#include "PtyPair.h"
#include "Resources.h"
#include "TestKit.h"

// Each test works in a scratch directory of its own (Config.xml lives in the current one)
// and sees only the ports it pins: pseudo-terminals, never the machine's serial ports.
class AppTest : public CScratchDirTest {
protected:
    using Boxes = std::vector<std::pair<std::string, unsigned>>;  // text, style

    void SetUp() override {
        CScratchDirTest::SetUp();
        CComPortMap::Instance().SetEnumerate(false);
        CComPortMap::Instance().ClearPins();
    }

    // A pseudo-terminal pinned as COMn, kept alive by the fixture.
    CPtyPair& PinPty(int nCom) {
        auto& pPty = m_aPtys.emplace_back(std::make_unique<CPtyPair>());
        EXPECT_TRUE(pPty->Create());
        CComPortMap::Instance().Pin(nCom, pPty->SlavePath());
        return *pPty;
    }

    std::string JobLogPath() const { return Path("jobs.jsonl"); }
    static std::string Config(int nComPort, const std::string& strHexFile) {
        return "<profile><Main><COM-Port>" + std::to_string(nComPort) + "</COM-Port><Hex-File>" +
               strHexFile + "</Hex-File></Main></profile>";
    }

    // The window, its notices recorded instead of shown, its seconds nSecondMs long; with
    // nComPort >= 0 over a Config.xml remembering port and file.
    std::unique_ptr<CFlashDlg> StartWindow(int nComPort = -1,
                                           const std::string& strHexFile = "select file",
                                           int nSecondMs = 1000) {
        if (nComPort >= 0) WriteFile("Config.xml", Config(nComPort, strHexFile));
        auto pDlg = std::make_unique<CFlashDlg>();
        pDlg->SetJobLogPath(JobLogPath());
        pDlg->SetMessageBoxSeam([this](const std::string& strText, unsigned nStyle) {
            m_aBoxes.emplace_back(strText, nStyle);
        });
        pDlg->SetSecondTimerPeriod(nSecondMs);
        pDlg->OnInitDialog();
        return pDlg;
    }

    Boxes m_aBoxes;

private:
    std::vector<std::unique_ptr<CPtyPair>> m_aPtys;
};

// Runs the event loop until bDone() holds or nMs have passed; returns bDone().
inline bool WaitUntil(const std::function<bool()>& bDone, int nMs) {
    for (const QDeadlineTimer deadline(nMs); !bDone() && !deadline.hasExpired();)
        QTest::qWait(2);
    return bDone();
}

inline QString StatusLine(const CFlashDlg& dlg) {
    return static_cast<QLabel*>(dlg.GetDlgItem(res::IDC_STATUS))->text();
}

inline QComboBox& PortList(const CFlashDlg& dlg) {
    return *static_cast<QComboBox*>(dlg.GetDlgItem(res::IDC_PORT));
}

// The operator picks the entry with that text.
inline void PickPort(CFlashDlg& dlg, const std::string& strEntry) {
    const int nIndex = PortList(dlg).findText(QString::fromStdString(strEntry));
    ASSERT_GE(nIndex, 0) << strEntry;
    PortList(dlg).setCurrentIndex(nIndex);
    emit PortList(dlg).activated(nIndex);
}

// Types strPath into the file dialog's name field, then accepts or rejects the dialog.
inline void AnswerFileDialog(QWidget* pDialog, const std::string& strPath, bool bAccept = true) {
    pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
        ->setText(QString::fromStdString(strPath));
    QMetaObject::invokeMethod(pDialog, bAccept ? "accept" : "reject");
}

// While alive, answers every modal window that opens: fnSeen gets it and closes it.
struct CModalWatcher {
    explicit CModalWatcher(std::function<void(QWidget*)> fnSeen) {
        QObject::connect(&m_timer, &QTimer::timeout, [fnSeen = std::move(fnSeen)] {
            if (QWidget* pModal = QApplication::activeModalWidget()) fnSeen(pModal);
        });
        m_timer.start(10);
    }
    QTimer m_timer;
};
