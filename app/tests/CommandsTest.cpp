// Operator commands that need no target: Open, About and the system menu; notice boxes.
#include <QAction>
#include <QMenu>
#include <QScreen>

#include "AboutDlg.h"
#include "AppTestSupport.h"
#include "ByteHandoff.h"
#include "FlashApp.h"
#include "MessageBox.h"

using namespace res;

// Each name is typed into the file dialog as an operator would; a cancelled dialog or an
// unreadable file changes nothing. A file loaded after Start, refused or not, leaves nothing
// armed: its target's greeting then starts no update (the port is still at the old file's speed).
TEST_F(AppTest, OpenLoadsKnownRefusesUnknownAndDamagedFilesAndKeepsTheLastReadable) {
    std::vector<std::string> aDamaged = MakeFirmware(3, 20);
    aDamaged[16].back() = aDamaged[16].back() == '0' ? '1' : '0';
    const struct {
        const char* szName;
        std::string strText;  // "": no such file
        bool bAccept;
        std::string strStatus, strBox;
        int nRange;             // of the progress bar; 0: Start stays disabled
        bool bStarted = false;  // Start pressed before Open
    } aCases[] = {
        {"known.hex", JoinLines(MakeFirmware(3, 20)), true, "File contains 22 lines", "", 22},
        {"cancelled.hex", JoinLines(MakeFirmware(3, 10)), false, "File contains 22 lines", "", 22},
        {"missing.hex", "", true, "File contains 22 lines", "The file could not be read!", 22},
        {"fast.hex", JoinLines(MakeFirmware(1, 20)), true, "File contains 22 lines", "", 22, true},
        {"damaged.hex", JoinLines(aDamaged), true, "Line 17: checksum error",
         "Line 17: checksum error", 0, true},
        {"again.hex", JoinLines(MakeFirmware(3, 20)), true, "File contains 22 lines", "", 22},
        {"alien.hex", JoinLines(MakeFirmware(0, 20)), true, "Unknown Hexfile", "Unknown file!", 0},
    };
    PinPty(1);
    auto pDlg = StartWindow(1);
    std::string strLoaded = "select file";
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.szName);
        m_aBoxes.clear();
        if (!c.strText.empty()) WriteFile(Path(c.szName), c.strText);
        if (!c.strText.empty() && c.bAccept) strLoaded = Path(c.szName);
        if (c.bStarted) {
            static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_START))->click();
            ASSERT_TRUE(
                WaitUntil([&] { return pDlg->GetEngine().GetState() == WaitGreeting; }, 2000));
        }
        CModalWatcher watcher([&](QWidget* p) { AnswerFileDialog(p, Path(c.szName), c.bAccept); });
        static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_OPEN))->click();
        EXPECT_EQ(m_aBoxes, (c.strBox.empty() ? Boxes{} : Boxes{{c.strBox, MB_OK}}));
        EXPECT_EQ(StatusLine(*pDlg).toStdString(), c.strStatus);
        EXPECT_EQ(pDlg->GetDlgItem(IDC_START)->isEnabled(), c.nRange > 0);
        EXPECT_EQ(pDlg->GetProgressMax(), c.nRange);
        EXPECT_EQ(static_cast<QLineEdit*>(pDlg->GetDlgItem(IDC_PATH))->text().toStdString(),
                  strLoaded);
        EXPECT_EQ(ReadFile("Config.xml"), Config(1, strLoaded));
        const int nGreeting = GetTargetInfo(pDlg->GetImage().GetTargetType()).nGreeting;
        CRecSerialEvent greeting(g_nWmRecSerial, nGreeting & 0xFF,
                                 std::make_shared<CRecSerialEvent::Handoff>());
        QCoreApplication::sendEvent(pDlg.get(), &greeting);
        EXPECT_FALSE(pDlg->GetEngine().IsBusy());
    }
}

// The About box opens for system commands 16..31, from the system menu's last item and from
// the button, over the window. A notice has one OK button, the stop icon only for its style, and
// is centred on the screen before its owner is shown (the start-up notices), then over it.
TEST_F(AppTest, AboutAndNoticeBoxesOpenFromTheirCommandsAndCentred) {
    auto pDlg = StartWindow();
    std::vector<QPoint> aAbouts;  // where each About box was centred
    std::vector<std::tuple<QString, QMessageBox::Icon, QMessageBox::StandardButtons>> aSeen;
    std::vector<QPoint> aCentres;
    CModalWatcher watcher([&](QWidget* pModal) {
        if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            aSeen.emplace_back(pBox->text(), pBox->icon(), pBox->standardButtons());
            aCentres.push_back(pBox->frameGeometry().center());
            pBox->button(QMessageBox::Ok)->click();
        } else if (auto* pAbout = dynamic_cast<CAboutDlg*>(pModal)) {
            aAbouts.push_back(pAbout->frameGeometry().center());
            pAbout->reject();
        }
    });
    for (const unsigned nCommand : {15u, 16u, 31u, 32u})
        pDlg->OnSysCommand(nCommand);
    EXPECT_EQ(aAbouts.size(), 2u);
    pDlg->GetSystemMenu()->actions().last()->trigger();
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_ABOUT))->click();
    EXPECT_EQ(aAbouts.size(), 4u);

    ShowMessageBox(pDlg.get(), "port failed", MB_ICONSTOP);
    pDlg->move(pDlg->screen()->availableGeometry().topLeft() + QPoint(5, 5));
    pDlg->show();
    ShowMessageBox(pDlg.get(), "Unknown file!", MB_OK);
    pDlg->OnSysCommand(IDM_ABOUTBOX);
    ASSERT_EQ(aSeen, (decltype(aSeen){{"port failed", QMessageBox::Critical, QMessageBox::Ok},
                                      {"Unknown file!", QMessageBox::NoIcon, QMessageBox::Ok}}));
    EXPECT_LE((aCentres[0] - pDlg->screen()->availableGeometry().center()).manhattanLength(), 4);
    EXPECT_LE((aCentres[1] - pDlg->frameGeometry().center()).manhattanLength(), 4);
    EXPECT_LE((aAbouts.back() - pDlg->frameGeometry().center()).manhattanLength(), 4);
}
