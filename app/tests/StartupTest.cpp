// Start-up of the window: settings, port pins, remembered file and port, port list, layout, icon.
#include <QStyleOptionButton>

#include "AppIcon.h"
#include "AppTestSupport.h"
#include "DialogLayout.h"
#include "PinnedTarget.h"
#include "PortPins.h"

using namespace res;

// A remembered port opens at 19200 even beyond the probed COM1..16, a remembered file loads when
// its path holds ".hex"; settings are written on a first start only. At any font size controls
// lie inside the window apart, each text in its control's room (edit fields scroll).
TEST_F(AppTest, StartUpOpensTheRememberedPortAndFileAndLaysOutTheControls) {
    ASSERT_TRUE(std::filesystem::create_directory(Path("fw.hex")));
    WriteFile(Path("fw.hex/image.bin"), MakeHexText(3, 10));
    WriteFile(Path("image.bin"), MakeHexText(3, 10));
    for (const auto& [nCom, strFile, nLines, nDpi] :  // 0: the first start, no settings yet
         {std::tuple{0, std::string("select file"), 0, 96},
          {3, Path("fw.hex/image.bin"), 12, 144},
          {20, Path("image.bin"), 0, 0}}) {
        SCOPED_TRACE(nCom);
        m_aBoxes.clear();
        SetDialogFontDpi(nDpi);
        auto pDlg = nCom ? StartWindow(nCom, strFile) : StartWindow();
        SetDialogFontDpi(0);
        const std::string strBox =
            "opening COM port failed (COM" + std::to_string(nCom) + ":19200,N,8,1)";
        EXPECT_EQ(m_aBoxes, (nCom ? Boxes{{strBox, MB_ICONSTOP}} : Boxes{}));
        EXPECT_EQ(pDlg->GetDlgItem(IDC_START)->isEnabled(), nLines > 0);
        EXPECT_EQ(StatusLine(*pDlg).toStdString(), nLines ? "File contains 12 lines" : "");

        pDlg->show();
        QWidget* pOk = pDlg->GetDlgItem(IDOK);
        std::vector<int> aTabOrder{IDOK};
        for (QWidget* p = pOk->nextInFocusChain(); p != pOk; p = p->nextInFocusChain())
            if ((p->focusPolicy() & Qt::TabFocus) && p->isVisible())
                aTabOrder.push_back(p->property("ctrlId").toInt());
        EXPECT_EQ(aTabOrder,
                  (std::vector<int>{IDOK, IDC_PORT, IDC_PATH, IDC_OPEN, IDC_START, IDC_ABOUT}));
        auto aShown = pDlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        aShown.removeIf([](const QWidget* p) { return !p->isVisible(); });
        for (qsizetype i = 0; i < aShown.size(); ++i) {
            QWidget* pControl = aShown[i];
            SCOPED_TRACE(pControl->objectName().toStdString());
            EXPECT_TRUE(pDlg->rect().contains(pControl->geometry()));
            for (qsizetype j = i + 1; j < aShown.size(); ++j)
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
        pDlg.reset();
        EXPECT_EQ(ReadFile("Config.xml"), Config(nCom, strFile));
    }
}

// Every pick reopens at 9600 and is remembered, also that of the entry already selected;
// "<none>" closes the port and keeps the number. A pick after Start disarms it.
TEST_F(AppTest, PortListIsSortedAndAPickReopensAtNineSixHundred) {
    PinPty(1);
    PinPty(2);
    CPinnedTarget com10(10, {});  // silent, reports the line settings it is given
    WriteFile(Path("fw.hex"), MakeHexText(3, 10));
    auto pDlg = StartWindow(10, Path("fw.hex"));
    QStringList aEntries;
    for (int i = 0; i < PortList(*pDlg).count(); ++i)
        aEntries << PortList(*pDlg).itemText(i);
    EXPECT_EQ(aEntries.join(' ').toStdString(), "<none> COM1 COM10 COM2");
    EXPECT_EQ(PortList(*pDlg).currentText(), "COM10");
    EXPECT_EQ(PortList(*pDlg).itemData(2, Qt::ToolTipRole).toString().toStdString(), com10->Path());
    ASSERT_EQ(com10->ToolSettings().nBaud, 19200u);

    PickPort(*pDlg, "COM10");
    EXPECT_TRUE(pDlg->IsPortOpen());
    EXPECT_EQ(com10->ToolSettings().nBaud, 9600u);
    PickPort(*pDlg, "<none>");
    EXPECT_FALSE(pDlg->IsPortOpen());
    EXPECT_EQ(pDlg->GetPortNumber(), 10);
    EXPECT_EQ(ReadFile("Config.xml"), Config(10, Path("fw.hex")));

    PickPort(*pDlg, "COM2");
    CComPortMap::Instance().Pin(2, Path("no-such-device"));  // a listed port that has gone away
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_START))->click();  // reopens at the file's rate
    PickPort(*pDlg, "COM2");
    EXPECT_EQ(m_aBoxes, (Boxes{{"opening COM port failed (COM2:19200,N,8,1)", MB_ICONSTOP},
                               {"opening COM port failed (COM2:9600,N,8,1)", MB_ICONSTOP}}));
    EXPECT_EQ(ReadFile("Config.xml"), Config(2, Path("fw.hex")));
    // Start's wait for a greeting ended with the port it was on: no reset is asked for.
    EXPECT_EQ(std::pair(StatusLine(*pDlg).toStdString(), pDlg->GetEngine().GetState()),
              std::pair(std::string("File contains 12 lines"), int32_t{Idle}));
}

// The settings file stays as it was, or absent.
TEST_F(AppTest, PortPinsAreReadWithoutTouchingTheSettings) {
    EXPECT_EQ(LoadPortPins("Config.xml"), 0);
    EXPECT_FALSE(std::filesystem::exists("Config.xml"));

    const std::string strConfig = "<profile>\n <Ports><COM3>/dev/pts/77</COM3></Ports>\n</profile>";
    WriteFile("Config.xml", strConfig);
    EXPECT_EQ(LoadPortPins("Config.xml"), 1);
    EXPECT_EQ(ReadFile("Config.xml"), strConfig);
}

// Pins, package and bolt stand apart at both sizes, on a transparent ground.
TEST(AppIcon, PartsAreOpaqueAndDistinctAtBothSizes) {
    for (const int nSize : {16, 32}) {
        const QImage icon = DrawAppIcon(nSize);
        auto At = [&](int x, int y) { return icon.pixel(x * nSize / 32, y * nSize / 32); };
        const QRgb pin = At(9, 3), body = At(8, 22), bolt = At(16, 15);
        EXPECT_EQ(std::tuple(qAlpha(At(0, 0)), qAlpha(pin), qAlpha(body), qAlpha(bolt)),
                  std::tuple(0, 255, 255, 255))
            << nSize;
        EXPECT_TRUE(pin != body && body != bolt && bolt != pin) << nSize;
    }
}
