// Updates driven through the window against a simulated target on a pseudo-terminal.
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <tuple>

#include "AppTestSupport.h"
#include "JobRecord.h"
#include "PortMap.h"
#include "Resources.h"
#include "SimTarget.h"

using namespace res;

namespace {

class UpdateTest : public AppTest {
protected:
    // The window, shown, remembering as port a type-3 target that greets every 300 ms once
    // reset, and as file one of nRecords data records (0: the bundled sample).
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

    std::vector<JobRecord> Jobs() const {
        JobLog log;
        EXPECT_EQ(ReadJobLog(JobLogPath(), log), "");
        return log.aRecords;
    }

    std::unique_ptr<CSimTarget> m_pTarget;
};

}  // namespace

TEST_F(UpdateTest, StartFlashWritesTheWholeImageIntoTheTarget) {
    auto pDlg = ShowWindow(false, 0);
    // Nothing to step while idle: the fast timer rests.
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
    ClickStart(*pDlg);
    EXPECT_TRUE(pDlg->IsFastTimerRunning());

    ASSERT_TRUE(WaitUntil([&] { return StatusLine(*pDlg) == "Update successful"; }, 30000))
        << StatusLine(*pDlg).toStdString();
    EXPECT_EQ(m_pTarget->Image(), FlashOfImage(pDlg->GetImage()));
    EXPECT_EQ(pDlg->GetProgressPos(), pDlg->GetImage().GetLineCount() - 1);
    EXPECT_TRUE(m_aBoxes.empty());
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
    const std::vector<JobRecord> aJobs = Jobs();
    ASSERT_EQ(aJobs.size(), 1u);
    EXPECT_EQ(
        std::tuple(aJobs[0].strResult, aJobs[0].strFile, aJobs[0].strDevice, aJobs[0].nLinesSent),
        std::tuple("Update successful", KORVI_SAMPLES_DIR "/korvi-type3.hex", m_pTarget->Path(),
                   pDlg->GetImage().GetLineCount()));
}

// Countdowns run on second ticks only (10 + 5 + 5 of them for a silent target), sped up here.
TEST_F(UpdateTest, SilentTargetEndsAfterTwentySecondTicksAndTheFailureIsRecorded) {
    constexpr int kSecondMs = 25;
    CPtyPair& target = PinPty(1);
    const std::string strHex = Path("fw.hex");
    WriteFile(strHex, MakeHexText(3, 40));
    WriteFile("Config.xml", Config(1, strHex));
    auto pDlg = MakeWindow();
    pDlg->SetSecondTimerPeriod(kSecondMs);
    pDlg->OnInitDialog();
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_START))->click();
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == WaitGreeting; }, 2000));
    ASSERT_TRUE(target.WriteAll("!", 1));
    std::string strEntry;  // the window answers on its own thread: read while it runs
    WaitUntil([&] { return (strEntry += target.ReadFor(1)).size() >= 3; }, 2000);
    EXPECT_EQ(strEntry, "^;]");
    ASSERT_TRUE(target.WriteAll("?", 1));
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == Transfer; }, 2000));
    QElapsedTimer silence;
    silence.start();
    ASSERT_TRUE(WaitUntil([&] { return !pDlg->GetEngine().IsBusy(); }, 200 * kSecondMs));
    EXPECT_GE(silence.elapsed(), 15 * kSecondMs);

    const std::vector<JobRecord> aJobs = Jobs();
    const std::string strWritten = target.ReadFor(100);
    ASSERT_EQ(aJobs.size(), 1u);
    EXPECT_EQ(
        std::tuple(aJobs[0].strResult, aJobs[0].nErrorCount, aJobs[0].nLinesSent,
                   aJobs[0].nFileSize),
        std::tuple("Fault! Please try again!", 3,
                   std::count(strWritten.begin(), strWritten.end(), ':'), ReadFile(strHex).size()));
}

TEST_F(UpdateTest, ExitOpenAndAFileChosenMeanwhileWaitForTheUpdateEscapeEndsAtOnce) {
    auto pDlg = ShowWindow(true, 120, true);
    WriteFile(Path("other.hex"), MakeHexText(3, 10));
    std::vector<std::pair<QString, int>> aSeen;  // text, lines sent while the box was open
    int nFileDialogs = 0;                        // answered
    QElapsedTimer openFor;
    CModalWatcher watcher([&](QWidget* pModal) {
        if (auto* pFileDialog = qobject_cast<QFileDialog*>(pModal)) {
            // The first opened before the greeting, answered once lines are going out.
            if (nFileDialogs == 0 && pDlg->GetEngine().GetState() != Transfer) return;
            ++nFileDialogs;
            pFileDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                ->setText(QString::fromStdString(Path("other.hex")));
            static_cast<QDialog*>(pFileDialog)->accept();
        } else if (auto* pBox = qobject_cast<QMessageBox*>(pModal); !openFor.isValid()) {
            aSeen.emplace_back(pBox->text(), pDlg->GetProgressPos());
            openFor.start();
        } else if (openFor.elapsed() >= 300) {
            aSeen.back().second = pDlg->GetProgressPos() - aSeen.back().second;
            openFor.invalidate();
            pBox->button(QMessageBox::Ok)->click();
        }
    });
    auto Click = [&](int nId) { static_cast<QPushButton*>(pDlg->GetDlgItem(nId))->click(); };
    ClickStart(*pDlg);
    Click(IDC_OPEN);  // the greeting comes while the dialog is open
    Click(IDOK);
    Click(IDC_OPEN);  // refused before a dialog opens
    EXPECT_EQ(nFileDialogs, 1);
    ASSERT_EQ(aSeen.size(), 3u);
    for (const auto& [strText, nLinesMeanwhile] : aSeen) {
        EXPECT_EQ(strText, "Please wait until update has finished!");
        EXPECT_GT(nLinesMeanwhile, 0);  // the update went on
    }
    EXPECT_EQ(pDlg->GetPathText(), Path("fw.hex"));
    EXPECT_EQ(pDlg->GetImage().GetLineCount(), 122);
    EXPECT_TRUE(pDlg->isVisible());
    ASSERT_TRUE(pDlg->GetEngine().IsBusy());
    QTest::keyClick(pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(pDlg->isVisible());
    EXPECT_EQ(pDlg->result(), QDialog::Rejected);
}

TEST_F(UpdateTest, StartDuringAnUpdateBeginsAgainAndStillDeliversEveryLine) {
    auto pDlg = ShowWindow(true, 100);
    pDlg->SetJobLogPath(Path("."));  // a log that cannot be written changes nothing
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
