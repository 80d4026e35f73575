// Received bytes and whole updates through the window, against targets on pseudo-terminals.
#include <algorithm>
#include <tuple>

#include "AppTestSupport.h"
#include "FlashApp.h"
#include "HexRecord.h"
#include "JobRecord.h"
#include "PinnedTarget.h"

using namespace res;

// Exit, a port pick, and Open (checked again once its dialog, under which the update began,
// closes) are refused while the update runs. Start begins again: the operator resets the target,
// which no longer greets once it has taken records, and every line goes out again from the first.
TEST_F(AppTest, UpdateGoesOnUnderExitAndOpenAndStartsAgainOnStart) {
    CPinnedTarget target(
        1, {.nType = 3, .faults = {}, .strLink = {}, .nGreetEveryMs = 300, .bWire = true});
    WriteFile(Path("fw.hex"), JoinLines(MakeFirmware(3, 120)));
    WriteFile(Path("other.hex"), JoinLines(MakeFirmware(3, 10)));
    auto pDlg = StartWindow(1, Path("fw.hex"));
    pDlg->SetMessageBoxSeam({});  // real boxes from here on
    pDlg->show();
    QStringList aSeen;
    int nFileDialogs = 0;  // answered
    CModalWatcher watcher([&](QWidget* pModal) {
        if (qobject_cast<QFileDialog*>(pModal)) {
            if (nFileDialogs == 0 && pDlg->GetEngine().GetState() != Transfer) return;
            ++nFileDialogs;
            AnswerFileDialog(pModal, Path("other.hex"));
        } else if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            aSeen << pBox->text();
            pBox->button(QMessageBox::Ok)->click();
        }
    });
    auto Click = [&](int nId) { static_cast<QPushButton*>(pDlg->GetDlgItem(nId))->click(); };
    EXPECT_TRUE(WaitUntil([&] { return !pDlg->IsFastTimerRunning(); }, 2000));  // idle: rests
    pDlg->SetJobLogPath(Path("."));  // a log that cannot be written changes nothing
    Click(IDC_START);
    target->Reset();  // by the operator
    EXPECT_TRUE(pDlg->IsFastTimerRunning());
    Click(IDC_OPEN);  // its dialog is answered once the greeting has started the transfer
    Click(IDOK);
    Click(IDC_OPEN);  // refused before a dialog opens
    PickPort(*pDlg, "<none>");
    EXPECT_TRUE(pDlg->IsPortOpen());
    EXPECT_EQ(PortList(*pDlg).currentText(), "COM1");
    EXPECT_EQ(nFileDialogs, 1);
    EXPECT_EQ(aSeen, QStringList(4, "Please wait until update has finished!"));
    EXPECT_TRUE(pDlg->isVisible());

    // The status field follows the lines as they go out, though not each one.
    ASSERT_TRUE(
        WaitUntil([&] { return StatusLine(*pDlg).section(' ', 1, 1).toInt() >= 20; }, 10000));
    Click(IDC_START);
    target->Reset();
    pDlg->SetJobLogPath(JobLogPath());
    EXPECT_EQ(pDlg->GetProgressPos(), 0);
    ASSERT_TRUE(WaitUntil([&] { return StatusLine(*pDlg) == "Update successful"; }, 30000))
        << StatusLine(*pDlg).toStdString();
    EXPECT_EQ(target->Image(), FlashImageOf(MakeFirmware(3, 120)));
    EXPECT_GE(target->Counters().nRecords, 20 + 122);
    EXPECT_EQ(pDlg->GetProgressPos(), 121);
    EXPECT_EQ(aSeen.size(), 4);
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
    WriteFile(Path("fw.hex"), JoinLines(MakeFirmware(3, 40)));
    auto pDlg = StartWindow(1, Path("fw.hex"), kSecondMs);
    pDlg->show();
    static_cast<QPushButton*>(pDlg->GetDlgItem(IDC_START))->click();
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == WaitGreeting; }, 2000));
    ASSERT_TRUE(target.WriteAll("!", 1));
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == WaitReady; }, 2000));
    ASSERT_TRUE(target.WriteAll("?", 1));
    ASSERT_TRUE(WaitUntil([&] { return pDlg->GetEngine().GetState() == Transfer; }, 2000));
    const QDeadlineTimer silence(std::chrono::milliseconds(15 * kSecondMs));
    QTest::keyClick(pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(pDlg->isVisible());
    ASSERT_TRUE(WaitUntil([&] { return !pDlg->GetEngine().IsBusy(); }, 200 * kSecondMs));
    EXPECT_TRUE(silence.hasExpired());

    JobLog log;
    ASSERT_EQ(ReadJobLog(JobLogPath(), log), "");
    const std::string strWritten = target.ReadFor(100);
    ASSERT_EQ(log.aRecords.size(), 1u);
    const JobRecord& job = log.aRecords[0];
    EXPECT_EQ(std::tuple(job.strResult, job.nErrorCount, job.nLinesSent, job.nFileSize),
              std::tuple("Fault! Please try again!", 3, std::ranges::count(strWritten, ':'),
                         ReadFile(Path("fw.hex")).size()));
}

// The receive thread waits until the window's own engine has each byte (sign-extended), or gives
// up when the channel closes while the window thread is busy: the queued event delivers nothing.
TEST_F(AppTest, ReceivedBytesReachOnlyTheirWindowsEngineWhileTheChannelIsOpen) {
    auto pDlg = StartWindow();
    auto pOther = StartWindow();
    std::atomic<bool> bRun{true};
    bool bSent = false;
    std::thread sender([&] { bSent = pDlg->SendByte(g_nWmRecSerial, 0xFFFFFFB0u, bRun); });
    ASSERT_TRUE(WaitUntil([&] { return !pDlg->GetEngine().GetReceived().empty(); }, 5000));
    sender.join();
    EXPECT_TRUE(bSent);
    EXPECT_EQ(pDlg->GetEngine().GetReceived(), "\xB0");
    EXPECT_EQ(pOther->GetEngine().GetReceived(), "");

    std::thread late([&] { bSent = pDlg->SendByte(g_nWmRecSerial, 0x42u, bRun); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bRun = false;
    late.join();
    EXPECT_FALSE(bSent);
    QCoreApplication::sendPostedEvents(pDlg.get());
    EXPECT_EQ(pDlg->GetEngine().GetReceived(), "\xB0");
}
