// Updates driven through the window against a simulated target on a pseudo-terminal.
#include <QElapsedTimer>

#include <algorithm>
#include <tuple>

#include "AppTestSupport.h"
#include "HexRecord.h"
#include "JobRecord.h"
#include "PinnedTarget.h"

using namespace res;

// Exit, and Open (checked again once its dialog closes), are refused while the update goes on
// under their boxes. Start begins again: the operator resets the target, which no longer greets
// once it has taken records, and every line goes out again from the first one.
TEST_F(AppTest, UpdateGoesOnUnderExitAndOpenAndStartsAgainOnStart) {
    SimTargetOptions options;  // greets every 300 ms once reset
    options.nType = 3;
    options.nGreetEveryMs = 300;
    options.bWire = true;
    CPinnedTarget target(1, options);
    auto pDlg = StartWindow(1, Path("fw.hex"), false);
    WriteFile(Path("fw.hex"), MakeHexText(3, 120));
    pDlg->SetMessageBoxSeam({});
    pDlg->OnInitDialog();
    pDlg->show();
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
    auto ClickStart = [&] {
        Click(IDC_START);
        target->Reset();
    };
    // Nothing to step while idle: the fast timer rests.
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
    pDlg->SetJobLogPath(Path("."));  // a log that cannot be written changes nothing
    ClickStart();
    EXPECT_TRUE(pDlg->IsFastTimerRunning());
    Click(IDC_OPEN);  // the greeting comes while the dialog is open
    Click(IDOK);
    Click(IDC_OPEN);  // refused before a dialog opens
    EXPECT_EQ(nFileDialogs, 1);
    ASSERT_EQ(aSeen.size(), 3u);
    for (const auto& [strText, nLinesMeanwhile] : aSeen) {
        EXPECT_EQ(strText, "Please wait until update has finished!");
        EXPECT_GT(nLinesMeanwhile, 0);
    }
    EXPECT_TRUE(pDlg->isVisible());

    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetProgressPos() >= 20; }, 10000));
    ClickStart();
    pDlg->SetJobLogPath(JobLogPath());
    EXPECT_EQ(pDlg->GetProgressPos(), 0);
    ASSERT_TRUE(WaitUntil([&] { return StatusLine(*pDlg) == "Update successful"; }, 30000))
        << StatusLine(*pDlg).toStdString();
    EXPECT_EQ(target->Image(), FlashImageOf(MakeFirmware(3, 120)));
    EXPECT_GE(target->Counters().nRecords, 20 + 122);
    EXPECT_EQ(pDlg->GetProgressPos(), 121);
    EXPECT_EQ(aSeen.size(), 3u);
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));
    JobLog log;
    ASSERT_EQ(ReadJobLog(JobLogPath(), log), "");
    ASSERT_EQ(log.aRecords.size(), 1u);
    const JobRecord& job = log.aRecords[0];
    EXPECT_EQ(std::tuple(job.strResult, job.strFile, job.strDevice, job.nLinesSent),
              std::tuple("Update successful", Path("fw.hex"), target->Path(), 122));
}

// Countdowns run on second ticks only (10 + 5 + 5 of them for a silent target), sped up here.
// Escape ends the window at once, also during an update, which still ends and is recorded.
TEST_F(AppTest, SilentTargetEndsAfterTwentySecondTicksAndTheFailureIsRecorded) {
    constexpr int kSecondMs = 25;
    CPtyPair& target = PinPty(1);
    WriteFile(Path("fw.hex"), MakeHexText(3, 40));
    auto pDlg = StartWindow(1, Path("fw.hex"), false);
    pDlg->SetSecondTimerPeriod(kSecondMs);
    pDlg->OnInitDialog();
    pDlg->show();
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_START))->click();
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == WaitGreeting; }, 2000));
    ASSERT_TRUE(target.WriteAll("!", 1));
    std::string strEntry;  // the window answers on its own thread: read while it runs
    WaitUntil([&] { return (strEntry += target.ReadFor(1)).size() >= 3; }, 2000);
    EXPECT_EQ(strEntry, "^;]");
    ASSERT_TRUE(target.WriteAll("?", 1));
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == Transfer; }, 2000));
    const QDeadlineTimer silence(std::chrono::milliseconds(15 * kSecondMs));
    ASSERT_TRUE(pDlg->GetEngine().IsBusy());
    QTest::keyClick(pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(pDlg->isVisible());
    EXPECT_EQ(pDlg->result(), QDialog::Rejected);
    ASSERT_TRUE(WaitUntil([&] { return !pDlg->GetEngine().IsBusy(); }, 200 * kSecondMs));
    EXPECT_TRUE(silence.hasExpired());

    JobLog log;
    ASSERT_EQ(ReadJobLog(JobLogPath(), log), "");
    const std::string strWritten = target.ReadFor(100);
    ASSERT_EQ(log.aRecords.size(), 1u);
    const JobRecord& job = log.aRecords[0];
    EXPECT_EQ(std::tuple(job.strResult, job.nErrorCount, job.nLinesSent, job.nFileSize),
              std::tuple("Fault! Please try again!", 3,
                         std::count(strWritten.begin(), strWritten.end(), ':'),
                         ReadFile(Path("fw.hex")).size()));
}
