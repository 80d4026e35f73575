// Start-up of the window: settings, remembered file and port, port list, template.
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

QString ControlText(const CFlashDlg& dlg, int nId) {
    QWidget* pWidget = dlg.GetDlgItem(nId);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) return pEdit->text();
    if (auto* pLabel = qobject_cast<QLabel*>(pWidget)) return pLabel->text();
    return static_cast<QPushButton*>(pWidget)->text();
}

}  // namespace

TEST_F(AppTest, FirstStartWritesTheDefaultsAndOpensNoPort) {
    PinPty(1);
    auto pDlg = MakeWindow();
    ASSERT_TRUE(pDlg->OnInitDialog());
    const std::string strFirst =
        "<profile><Main><COM-Port>0</COM-Port><Hex-File>select file</Hex-File></Main></profile>";
    EXPECT_EQ(ReadFile("Config.xml"), strFirst);
    EXPECT_EQ(pDlg->GetPortNumber(), 0);
    EXPECT_EQ(PortEntries(*pDlg), (std::vector<std::string>{"<none>", "COM1"}));
    EXPECT_EQ(static_cast<QComboBox*>(pDlg->GetDlgItem(IDC_PORT))->currentIndex(), 0);
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_FALSE(pDlg->GetDlgItem(IDC_START)->isEnabled());
    EXPECT_EQ(ControlText(*pDlg, IDC_PATH), "select file");
    EXPECT_EQ(ControlText(*pDlg, IDC_STATUS), "");
    EXPECT_EQ(ControlText(*pDlg, IDC_ERRCOUNT), "0");
    EXPECT_TRUE(m_aBoxes.empty());

    // Nothing is written at the end of the run either.
    pDlg.reset();
    EXPECT_EQ(ReadFile("Config.xml"), strFirst);
}

TEST_F(AppTest, WindowFollowsTemplate102) {
    auto pDlg = StartWindow();

    EXPECT_EQ(pDlg->windowTitle(), "Korvi Flasher V1.41");
    EXPECT_FALSE(pDlg->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                                        Qt::WindowSystemMenuHint));
    EXPECT_EQ(pDlg->minimumSize(), pDlg->maximumSize());
    EXPECT_EQ(pDlg->parent(), nullptr);

    EXPECT_TRUE(static_cast<QPushButton*>(pDlg->GetDlgItem(IDOK))->isDefault());
    EXPECT_TRUE(static_cast<QLineEdit*>(pDlg->GetDlgItem(IDC_PATH))->isReadOnly());
    EXPECT_TRUE(pDlg->GetDlgItem(IDC_ERRCOUNT)->isHidden());

    // Tab order: Exit, port list, path, Open, Start Flash, About.
    std::vector<int> aOrder;
    QWidget* pWidget = pDlg->GetDlgItem(IDOK);
    for (int i = 0; i < 6; ++i) {
        aOrder.push_back(pWidget->property("ctrlId").toInt());
        do
            pWidget = pWidget->nextInFocusChain();
        while (!(pWidget->focusPolicy() & Qt::TabFocus) || pWidget->isHidden());
    }
    EXPECT_EQ(aOrder, (std::vector<int>{IDOK, IDC_PORT, IDC_PATH, IDC_OPEN, IDC_START, IDC_ABOUT}));

    // The About item comes after a separator at the end of the system menu's stand-in.
    const QList<QAction*> aActions = pDlg->GetSystemMenu()->actions();
    ASSERT_EQ(aActions.size(), 2);
    EXPECT_TRUE(aActions[0]->isSeparator());
    EXPECT_EQ(aActions[1]->data().toUInt(), 16u);
    EXPECT_FALSE(pDlg->windowIcon().isNull());
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
            QSize need = pControl->sizeHint();
            QRect room = pControl->rect();
            if (qobject_cast<QLineEdit*>(pControl)) need.setWidth(0);
            if (auto* pButton = qobject_cast<QPushButton*>(pControl)) {
                QStyleOptionButton option;
                option.initFrom(pButton);
                room = pButton->style()->subElementRect(QStyle::SE_PushButtonContents, &option,
                                                        pButton);
                need = pButton->fontMetrics().size(Qt::TextShowMnemonic, pButton->text());
            }
            if (auto* pLabel = qobject_cast<QLabel*>(pControl))
                need = pLabel->fontMetrics().size(0, pLabel->text());
            EXPECT_LE(need.width(), room.width());
            EXPECT_LE(need.height(), room.height());
        }
    }
}

TEST_F(AppTest, RememberedPortThatCannotBeOpenedIsReported) {
    const std::string strConfig = Config(3, "select file");
    WriteFile("Config.xml", strConfig);
    PinMissing(3);
    auto pDlg = StartWindow();

    ASSERT_EQ(m_aBoxes.size(), 1u);
    EXPECT_EQ(m_aBoxes[0].first, "opening COM port failed (COM3:19200,N,8,1)");
    EXPECT_EQ(m_aBoxes[0].second, MB_ICONSTOP);
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(pDlg->GetPortNumber(), 3);
    EXPECT_EQ(PortEntries(*pDlg), std::vector<std::string>{"<none>"});
    EXPECT_EQ(ReadFile("Config.xml"), strConfig);

    // A port beyond the probed range is still opened at start-up.
    m_aBoxes.clear();
    auto pSecond = StartWindow(20);
    ASSERT_EQ(m_aBoxes.size(), 1u);
    EXPECT_EQ(m_aBoxes[0].first, "opening COM port failed (COM20:19200,N,8,1)");
}

TEST_F(AppTest, PortListIsSortedAndSelectsTheRememberedPort) {
    CPtyPair& com1 = PinPty(1);
    CPtyPair& com2 = PinPty(2);
    PinPty(10);
    auto pDlg = StartWindow(2);

    EXPECT_EQ(PortEntries(*pDlg), (std::vector<std::string>{"<none>", "COM1", "COM10", "COM2"}));
    const auto* pList = static_cast<QComboBox*>(pDlg->GetDlgItem(IDC_PORT));
    EXPECT_EQ(pList->currentText(), "COM2");
    EXPECT_EQ(pList->itemData(1, Qt::ToolTipRole).toString().toStdString(), com1.SlavePath());
    EXPECT_EQ(pList->itemData(3, Qt::ToolTipRole).toString().toStdString(), com2.SlavePath());
    EXPECT_TRUE(pDlg->IsPortOpen());
    EXPECT_EQ(ToolSpeed(com2), static_cast<speed_t>(B19200));
    EXPECT_TRUE(m_aBoxes.empty());
}

TEST_F(AppTest, PortChangeReopensAtNineSixHundredAndRemembersEvenAFailure) {
    CPtyPair& com1 = PinPty(1);
    PinPty(5);
    auto pDlg = StartWindow(1);
    ASSERT_EQ(ToolSpeed(com1), static_cast<speed_t>(B19200));

    // The entry of the open port: closed and opened again, now at 9600.
    PickPort(*pDlg, "COM1");
    EXPECT_TRUE(pDlg->IsPortOpen());
    EXPECT_EQ(ToolSpeed(com1), static_cast<speed_t>(B9600));

    // A listed port that has gone away.
    PinMissing(5);
    PickPort(*pDlg, "COM5");
    ASSERT_EQ(m_aBoxes.size(), 1u);
    EXPECT_EQ(m_aBoxes[0].first, "opening COM port failed (COM5:9600,N,8,1)");
    EXPECT_EQ(m_aBoxes[0].second, MB_ICONSTOP);
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(ReadFile("Config.xml"), Config(5, "select file"));

    // "<none>" closes the port and keeps number and settings.
    PickPort(*pDlg, "COM1");
    ASSERT_TRUE(pDlg->IsPortOpen());
    const std::string strBefore = ReadFile("Config.xml");
    PickPort(*pDlg, "<none>");
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(pDlg->GetPortNumber(), 1);
    EXPECT_EQ(ReadFile("Config.xml"), strBefore);
    EXPECT_EQ(m_aBoxes.size(), 1u);
}

TEST_F(AppTest, RememberedFileLoadsWhenItsPathHoldsDotHex) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("fw.hex"))));
    const std::string strBin = Path("fw.hex/image.bin");
    WriteFile(strBin, MakeHexText(3, 10));
    auto pDlg = StartWindow(0, strBin);
    EXPECT_TRUE(pDlg->GetDlgItem(IDC_START)->isEnabled());
    EXPECT_EQ(ControlText(*pDlg, IDC_STATUS), "File contains 12 lines");
    EXPECT_EQ(pDlg->GetProgressMax(), 12);

    // The same file under a name without it is not loaded.
    const std::string strOther = Path("image.bin");
    WriteFile(strOther, MakeHexText(3, 10));
    auto pSecond = StartWindow(0, strOther);
    EXPECT_FALSE(pSecond->GetDlgItem(IDC_START)->isEnabled());
    EXPECT_EQ(pSecond->GetImage().GetLineCount(), 0);
    EXPECT_EQ(ControlText(*pSecond, IDC_STATUS), "");
}
