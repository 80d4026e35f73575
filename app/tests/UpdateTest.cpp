// Updates driven through the window against a simulated target on a pseudo-terminal.
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "PortMap.h"
#include "Resources.h"
#include "SimTarget.h"

using namespace res;

namespace {

class UpdateTest : public AppTest {
protected:
    // A type-3 target pinned as COM1, greeting every 300 ms once reset.
    // The window, shown, with the target as its remembered port and a file of nRecords data
    // records (0: the bundled sample) as its remembered file.
    std::unique_ptr<CFlashDlg> ShowWindow(bool bWire, int nRecords, bool bRealBoxes = false) {
        SimTargetOptions options;
        options.nType = 3;
        options.nGreetEveryMs = 300;
        options.bWire = bWire;
        m_pTarget = std::make_unique<CSimTarget>(options);
        EXPECT_TRUE(m_pTarget->Start());
        CComPortMap::Instance().Pin(1, m_pTarget->Path());
        std::string strHex = KORVI_SAMPLES_DIR "/korvi-type3.hex";
        if (nRecords > 0) WriteFile(strHex = Path("fw.hex"), MakeHexText(3, nRecords));
        WriteFile("Config.xml", Config(1, strHex));
        auto pDlg = MakeWindow();
        if (bRealBoxes) pDlg->SetMessageBoxSeam({});
        pDlg->OnInitDialog();
        pDlg->show();
        return pDlg;
    }

    void ClickStart(CFlashDlg& dlg) {
        auto* pStart = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_START));
        ASSERT_TRUE(pStart->isEnabled());
        QTest::mouseClick(pStart, Qt::LeftButton);
        m_pTarget->Reset();
    }

    std::unique_ptr<CSimTarget> m_pTarget;
};

}  // namespace

TEST_F(UpdateTest, StartFlashWritesTheWholeImageIntoTheTarget) {
    auto pDlg = ShowWindow(false, 0);
    ASSERT_TRUE(pDlg->IsPortOpen());

    // Nothing to step while idle: the fast timer rests.
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
    ClickStart(*pDlg);
    EXPECT_TRUE(pDlg->IsFastTimerRunning());

    ASSERT_TRUE(WaitUntil([&] { return StatusLine(*pDlg) == "Update successful"; }, 30000))
        << StatusLine(*pDlg).toStdString();
    EXPECT_EQ(m_pTarget->Image(), FlashOfImage(pDlg->GetImage()));
    EXPECT_EQ(m_pTarget->GetPhase(), CBootloaderModel::Phase::Done);
    EXPECT_EQ(pDlg->GetProgressPos(), pDlg->GetImage().GetLineCount() - 1);
    EXPECT_EQ(pDlg->GetErrorCountText(), "0");
    EXPECT_FALSE(pDlg->GetEngine().IsBusy());
    EXPECT_TRUE(m_aBoxes.empty());
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
}

TEST_F(UpdateTest, ExitWaitsForTheUpdateOpenIsRefusedAndEscapeEndsAtOnce) {
    auto pDlg = ShowWindow(true, 120, true);
    ClickStart(*pDlg);
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == Transfer; }, 10000));
    ASSERT_TRUE(pDlg->GetEngine().IsBusy());

    struct Seen {
        QString strText;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QWidget* pOwner;
        int nProgressAtOpen;
        int nProgressAtClose;
    };
    std::vector<Seen> aSeen;
    QElapsedTimer openFor;
    bool bFileDialog = false;
    CModalWatcher watcher([&](QWidget* pModal) {
        auto* pBox = qobject_cast<QMessageBox*>(pModal);
        if (!pBox) {
            bFileDialog = true;
            pModal->close();
            return;
        }
        if (aSeen.empty() || aSeen.back().nProgressAtClose >= 0) {
            aSeen.push_back({pBox->text(), pBox->icon(), pBox->standardButtons(),
                             pBox->parentWidget(), pDlg->GetProgressPos(), -1});
            openFor.start();
        } else if (openFor.elapsed() >= 300) {
            aSeen.back().nProgressAtClose = pDlg->GetProgressPos();
            pBox->button(QMessageBox::Ok)->click();
        }
    });

    static_cast<QPushButton*>(pDlg->GetDlgItem(IDOK))->click();
    ASSERT_EQ(aSeen.size(), 1u);
    EXPECT_EQ(aSeen[0].strText, "Please wait until update has finished!");
    EXPECT_EQ(aSeen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(aSeen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(aSeen[0].pOwner, pDlg.get());
    EXPECT_GT(aSeen[0].nProgressAtClose, aSeen[0].nProgressAtOpen);  // the update went on
    EXPECT_TRUE(pDlg->isVisible());
    EXPECT_NE(pDlg->result(), QDialog::Accepted);

    // Loading another file under the running transfer is refused the same way.
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_OPEN))->click();
    EXPECT_FALSE(bFileDialog);
    ASSERT_EQ(aSeen.size(), 2u);
    EXPECT_EQ(aSeen[1].strText, "Please wait until update has finished!");
    EXPECT_EQ(pDlg->GetImage().GetLineCount(), 122);

    ASSERT_TRUE(pDlg->GetEngine().IsBusy());
    QTest::keyClick(pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(pDlg->isVisible());
    EXPECT_EQ(pDlg->result(), QDialog::Rejected);
}

TEST_F(UpdateTest, StartDuringAnUpdateBeginsAgainAndStillDeliversEveryLine) {
    auto pDlg = ShowWindow(true, 100);
    ClickStart(*pDlg);
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetProgressPos() >= 20; }, 10000));

    // The target has begun taking records and no longer greets: the operator resets it.
    ClickStart(*pDlg);
    EXPECT_EQ(pDlg->GetProgressPos(), 0);
    ASSERT_TRUE(WaitUntil([&] { return StatusLine(*pDlg) == "Update successful"; }, 30000))
        << StatusLine(*pDlg).toStdString();
    EXPECT_EQ(m_pTarget->Image(), FlashOfImage(pDlg->GetImage()));
    // Every line went out again from the first one.
    EXPECT_GE(m_pTarget->Counters().nRecords, 20 + pDlg->GetImage().GetLineCount());
    EXPECT_TRUE(m_aBoxes.empty());
}
