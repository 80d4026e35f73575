// Start-up of the window: settings, remembered file and port, port list, layout, icon.
#include <QStyleOptionButton>

#include "AppIcon.h"
#include "AppTestSupport.h"
#include "DialogLayout.h"
#include "PinnedTarget.h"

using namespace res;

// A remembered port opens at 19200 even beyond the probed COM1..16, a remembered file loads when
// its path holds ".hex"; settings are written on a first start only. At any font size controls
// lie inside the window apart, each text in its control's room (edit fields scroll).
TEST_F(AppTest, StartUpOpensTheRememberedPortAndFileAndLaysOutTheControls) {
    ASSERT_TRUE(std::filesystem::create_directory(Path("fw.hex")));
    WriteFile(Path("fw.hex/image.bin"), JoinLines(MakeFirmware(3, 10)));
    WriteFile(Path("image.bin"), JoinLines(MakeFirmware(3, 10)));
    for (const auto& [nCom, strFile, strStatus, nDpi] :  // 0: the first start, no settings yet
         {std::tuple{0, std::string("select file"), "", 96},
          {3, Path("fw.hex/image.bin"), "File contains 12 lines", 144},
          {20, Path("image.bin"), "", 0}}) {  // the default font last, for the tests after
        SCOPED_TRACE(nCom);
        m_aBoxes.clear();
        SetDialogFontDpi(nDpi);
        auto pDlg = nCom ? StartWindow(nCom, strFile) : StartWindow();
        const std::string strBox =
            "opening COM port failed (COM" + std::to_string(nCom) + ":19200,N,8,1)";
        EXPECT_EQ(m_aBoxes, (nCom ? Boxes{{strBox, MB_ICONSTOP}} : Boxes{}));
        EXPECT_EQ(StatusLine(*pDlg).toStdString(), strStatus);

        pDlg->show();
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
    WriteFile(Path("fw.hex"), JoinLines(MakeFirmware(3, 10)));
    auto pDlg = StartWindow(10, Path("fw.hex"));
    QStringList aEntries;
    for (int i = 0; i < PortList(*pDlg).count(); ++i)
        aEntries << PortList(*pDlg).itemText(i);
    EXPECT_EQ(aEntries.join(' ').toStdString(), "<none> COM1 COM10 COM2");
    EXPECT_EQ(PortList(*pDlg).currentData(Qt::ToolTipRole).toString().toStdString(), com10->Path());
    ASSERT_EQ(com10->ToolSettings().nBaud, 19200u);

    PickPort(*pDlg, "COM10");
    EXPECT_EQ(com10->ToolSettings().nBaud, 9600u);
    PickPort(*pDlg, "<none>");
    EXPECT_EQ(std::pair(pDlg->IsPortOpen(), pDlg->GetPortNumber()), std::pair(false, 10));
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
