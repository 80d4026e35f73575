// Start-up of the window: settings, remembered file and port, port list, layout.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStyleOptionButton>

#include <termios.h>

#include "AppTestSupport.h"
#include "DialogLayout.h"
#include "Resources.h"

using namespace res;

namespace {

speed_t ToolSpeed(const CPtyPair& pty) {
    termios tio{};
    return pty.ReadToolSettings(tio) ? cfgetospeed(&tio) : 0;
}

}  // namespace

TEST_F(AppTest, FirstStartWritesTheDefaultsOpensNoPortAndTabsInOrder) {
    PinPty(1);
    auto pDlg = StartWindow();
    const std::string strFirst = Config(0, "select file");
    EXPECT_EQ(ReadFile("Config.xml"), strFirst);
    EXPECT_EQ(PortEntries(*pDlg), (std::vector<std::string>{"<none>", "COM1"}));
    EXPECT_FALSE(pDlg->IsPortOpen() || pDlg->GetDlgItem(IDC_START)->isEnabled());
    EXPECT_TRUE(m_aBoxes.empty());

    std::vector<int> aOrder;
    QWidget* pWidget = pDlg->GetDlgItem(IDOK);
    for (int i = 0; i < 6; ++i) {
        aOrder.push_back(pWidget->property("ctrlId").toInt());
        do
            pWidget = pWidget->nextInFocusChain();
        while (!(pWidget->focusPolicy() & Qt::TabFocus) || pWidget->isHidden());
    }
    EXPECT_EQ(aOrder, (std::vector<int>{IDOK, IDC_PORT, IDC_PATH, IDC_OPEN, IDC_START, IDC_ABOUT}));
    pDlg.reset();  // nor is anything written at the end of the run
    EXPECT_EQ(ReadFile("Config.xml"), strFirst);
}

// Nothing outside or overlapping, each text in its control's room (edit fields scroll).
TEST_F(AppTest, ControlsFitTheClientAreaAndTheirTextsAt96And144Dpi) {
    PinPty(16);
    const std::string strHex = Path("fw.hex");
    WriteFile(strHex, MakeHexText(3, 20));
    for (const int nDpi : {96, 144}) {
        SetDialogFontDpi(nDpi);
        auto pDlg = StartWindow(0, strHex);
        SetDialogFontDpi(0);
        pDlg->show();
        std::vector<QWidget*> aShown;
        for (QWidget* pChild : pDlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (pChild->isVisible()) aShown.push_back(pChild);
        ASSERT_FALSE(aShown.empty());
        for (size_t i = 0; i < aShown.size(); ++i) {
            QWidget* pControl = aShown[i];
            SCOPED_TRACE(std::to_string(nDpi) + " dpi, " + pControl->objectName().toStdString());
            EXPECT_TRUE(pDlg->rect().contains(pControl->geometry()));
            for (size_t j = i + 1; j < aShown.size(); ++j)
                EXPECT_FALSE(pControl->geometry().intersects(aShown[j]->geometry()));
            QSize need = qobject_cast<QLineEdit*>(pControl) ? QSize() : pControl->sizeHint();
            QRect room = pControl->rect();
            if (auto* pButton = qobject_cast<QPushButton*>(pControl)) {
                QStyleOptionButton option;
                option.initFrom(pButton);
                room = pButton->style()->subElementRect(QStyle::SE_PushButtonContents, &option,
                                                        pButton);
                need = pButton->fontMetrics().size(Qt::TextShowMnemonic, pButton->text());
            }
            if (auto* pLabel = qobject_cast<QLabel*>(pControl))
                need = pLabel->fontMetrics().size(0, pLabel->text());
            EXPECT_TRUE(need.width() <= room.width() && need.height() <= room.height());
        }
    }
}

TEST_F(AppTest, RememberedPortThatCannotBeOpenedIsReportedEvenBeyondTheProbedRange) {
    PinMissing(3);
    for (const int nCom : {3, 20}) {
        m_aBoxes.clear();
        auto pDlg = StartWindow(nCom);
        const std::string strCom = "COM" + std::to_string(nCom);
        EXPECT_EQ(m_aBoxes,
                  (decltype(m_aBoxes){
                      {"opening COM port failed (" + strCom + ":19200,N,8,1)", MB_ICONSTOP}}));
        EXPECT_FALSE(pDlg->IsPortOpen());
        EXPECT_EQ(PortEntries(*pDlg), std::vector<std::string>{"<none>"});
        EXPECT_EQ(ReadFile("Config.xml"), Config(nCom, "select file"));
    }
}

TEST_F(AppTest, PortListIsSortedAndAChangeReopensAtNineSixHundredAndIsRemembered) {
    PinPty(1);
    PinPty(2);
    CPtyPair& com10 = PinPty(10);
    auto pDlg = StartWindow(10);
    EXPECT_EQ(PortEntries(*pDlg), (std::vector<std::string>{"<none>", "COM1", "COM10", "COM2"}));
    const auto* pList = static_cast<QComboBox*>(pDlg->GetDlgItem(IDC_PORT));
    EXPECT_EQ(pList->currentText(), "COM10");
    EXPECT_EQ(pList->itemData(2, Qt::ToolTipRole).toString().toStdString(), com10.SlavePath());
    ASSERT_EQ(ToolSpeed(com10), static_cast<speed_t>(B19200));

    // The entry of the open port: closed and opened again, now at 9600.
    PickPort(*pDlg, "COM10");
    EXPECT_TRUE(pDlg->IsPortOpen());
    EXPECT_EQ(ToolSpeed(com10), static_cast<speed_t>(B9600));

    // A listed port that has gone away.
    PinMissing(2);
    PickPort(*pDlg, "COM2");
    EXPECT_EQ(m_aBoxes,
              (decltype(m_aBoxes){{"opening COM port failed (COM2:9600,N,8,1)", MB_ICONSTOP}}));
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(ReadFile("Config.xml"), Config(2, "select file"));

    // "<none>" closes the port and keeps number and settings.
    PickPort(*pDlg, "COM10");
    ASSERT_TRUE(pDlg->IsPortOpen());
    PickPort(*pDlg, "<none>");
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(pDlg->GetPortNumber(), 10);
    EXPECT_EQ(ReadFile("Config.xml"), Config(10, "select file"));
}

// Only a remembered path that holds ".hex" is loaded, wherever it is.
TEST_F(AppTest, RememberedFileLoadsWhenItsPathHoldsDotHex) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("fw.hex"))));
    for (const auto& [strFile, nLines] :
         {std::pair{Path("fw.hex/image.bin"), 12}, {Path("image.bin"), 0}}) {
        WriteFile(strFile, MakeHexText(3, 10));
        auto pDlg = StartWindow(0, strFile);
        EXPECT_EQ(pDlg->GetDlgItem(IDC_START)->isEnabled(), nLines > 0);
        EXPECT_EQ(StatusLine(*pDlg).toStdString(), nLines ? "File contains 12 lines" : "");
        EXPECT_EQ(pDlg->GetImage().GetLineCount(), nLines);
    }
}
