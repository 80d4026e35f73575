// Operator commands that need no target: Open, About and the system menu.
#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "AboutDlg.h"
#include "AppTestSupport.h"
#include "Firmware.h"
#include "MessageBox.h"
#include "Resources.h"

using namespace res;

namespace {

// Clicks "Open" and answers the file dialog with strPath; returns the dialog's filters.
QStringList OpenThroughDialog(CFlashDlg& dlg, const std::string& strPath) {
    QStringList aFilters;
    CModalWatcher watcher([&](QWidget* pModal) {
        auto* pFileDialog = qobject_cast<QFileDialog*>(pModal);
        if (!pFileDialog) return;
        aFilters = pFileDialog->nameFilters();
        // Typed into the name field, as an operator would; also a name of no file.
        auto* pName = pFileDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(pName, nullptr);
        pName->setText(QString::fromStdString(strPath));
        static_cast<QDialog*>(pFileDialog)->accept();  // public there
    });
    static_cast<QPushButton*>(dlg.GetDlgItem(IDC_OPEN))->click();
    return aFilters;
}

}  // namespace

TEST_F(AppTest, OpenLoadsKnownAndUnknownFiles) {
    auto pDlg = StartWindow();
    QString strStatusWhenBoxShown;
    pDlg->SetMessageBoxSeam([&](const std::string& strText, unsigned nStyle) {
        m_aBoxes.emplace_back(strText, nStyle);
        strStatusWhenBoxShown = StatusLine(*pDlg);
    });

    const std::string strKnown = Path("known.hex");
    WriteFile(strKnown, MakeHexText(3, 20));
    EXPECT_EQ(OpenThroughDialog(*pDlg, strKnown), QStringList{"Hex file (*.hex)"});
    EXPECT_EQ(StatusLine(*pDlg), "File contains 22 lines");
    EXPECT_TRUE(pDlg->GetDlgItem(IDC_START)->isEnabled() && m_aBoxes.empty());
    EXPECT_EQ(pDlg->GetProgressMax(), 22);
    EXPECT_EQ(static_cast<QLineEdit*>(pDlg->GetDlgItem(IDC_PATH))->text().toStdString(), strKnown);

    // Unknown target: the box comes before the status line changes.
    const std::string strUnknown = Path("unknown.hex");
    WriteFile(strUnknown, MakeHexText(0, 20));
    OpenThroughDialog(*pDlg, strUnknown);
    EXPECT_EQ(m_aBoxes, (decltype(m_aBoxes){{"Unknown file!", MB_OK}}));
    EXPECT_EQ(strStatusWhenBoxShown, "File contains 22 lines");
    EXPECT_EQ(StatusLine(*pDlg), "Unknown Hexfile");
    EXPECT_FALSE(pDlg->GetDlgItem(IDC_START)->isEnabled() || pDlg->GetProgressMax() != 0);
    EXPECT_EQ(ReadFile("Config.xml"), Config(0, strUnknown));

    // A file with a damaged record: refused before Start, naming the first fault.
    std::vector<std::string> aLines = MakeFirmware(3, 20);
    aLines[16].back() = aLines[16].back() == '0' ? '1' : '0';
    WriteFile(strKnown, JoinLines(aLines, "\r\n"));
    OpenThroughDialog(*pDlg, strKnown);
    EXPECT_EQ(m_aBoxes.back(),
              (std::pair<std::string, unsigned>{"Line 17: checksum error", MB_OK}));
    EXPECT_EQ(StatusLine(*pDlg), "Line 17: checksum error");
    EXPECT_FALSE(pDlg->GetDlgItem(IDC_START)->isEnabled() || pDlg->GetProgressMax() != 0);

    // A typed name of no file: the field goes back to the file still loaded, and says so.
    OpenThroughDialog(*pDlg, Path("typed.hex"));
    EXPECT_EQ(pDlg->GetPathText(), strKnown);
    EXPECT_EQ(ReadFile("Config.xml"), Config(0, strKnown));
    EXPECT_EQ(pDlg->GetImage().GetLineCount(), 22);
    EXPECT_EQ(m_aBoxes.back(),
              (std::pair<std::string, unsigned>{"The file could not be read!", 0}));
}

TEST_F(AppTest, SystemCommandsSixteenToThirtyOneOpenAbout) {
    auto pDlg = StartWindow();

    std::vector<QString> aSeen;
    CModalWatcher watcher([&](QWidget* pModal) {
        if (auto* pAbout = dynamic_cast<CAboutDlg*>(pModal)) {
            aSeen.push_back(pAbout->windowTitle());
            pAbout->reject();
        }
    });
    for (const unsigned nCommand : {15u, 16u, 31u, 32u})
        pDlg->OnSysCommand(nCommand);
    EXPECT_EQ(aSeen.size(), 2u);
    // The system menu's last item, after a separator, and the button.
    const QList<QAction*> aActions = pDlg->GetSystemMenu()->actions();
    ASSERT_EQ(aActions.size(), 2);
    EXPECT_TRUE(aActions[0]->isSeparator());
    aActions[1]->trigger();
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_ABOUT))->click();
    EXPECT_EQ(aSeen, std::vector<QString>(4, "About Korvi Flasher"));
}

TEST_F(AppTest, RealMessageBoxesHaveOneOkButtonAndTheStopIconOnlyForStyleSixteen) {
    CFlashDlg owner;
    std::vector<std::tuple<QString, QMessageBox::Icon, QMessageBox::StandardButtons, QWidget*>>
        aSeen;
    std::vector<QPoint> aCentres;
    CModalWatcher watcher([&](QWidget* pModal) {
        if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            aSeen.emplace_back(pBox->text(), pBox->icon(), pBox->standardButtons(),
                               pBox->parentWidget());
            aCentres.push_back(pBox->frameGeometry().center());
            pBox->button(QMessageBox::Ok)->click();
        }
    });
    // Before the window is shown (start-up) a box is centred on the screen, then over it.
    ShowMessageBox(&owner, "opening COM port failed (COM1:9600,N,8,1)", MB_ICONSTOP);
    owner.move(owner.screen()->availableGeometry().topLeft() + QPoint(5, 5));
    owner.show();
    ShowMessageBox(&owner, "Unknown file!", MB_OK);
    ASSERT_EQ(aCentres.size(), 2u);
    EXPECT_LE((aCentres[0] - owner.screen()->availableGeometry().center()).manhattanLength(), 4);
    EXPECT_LE((aCentres[1] - owner.frameGeometry().center()).manhattanLength(), 4);
    const QMessageBox::StandardButtons ok(QMessageBox::Ok);
    EXPECT_EQ(aSeen, (decltype(aSeen){{"opening COM port failed (COM1:9600,N,8,1)",
                                       QMessageBox::Critical, ok, &owner},
                                      {"Unknown file!", QMessageBox::NoIcon, ok, &owner}}));
}
