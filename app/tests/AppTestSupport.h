#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FlashDlg.h"
#include "PtyPair.h"

// Each test works in a scratch directory of its own (Config.xml lives in the current one)
// and sees only the ports it pins: pseudo-terminals, never the machine's serial ports.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A pseudo-terminal pinned as COMn, kept alive by the fixture; or a path that cannot open.
    CPtyPair& PinPty(int nCom);
    void PinMissing(int nCom);

    std::string Path(const std::string& strName) const;
    std::string JobLogPath() const { return Path("jobs.jsonl"); }
    static void WriteFile(const std::string& strPath, const std::string& strText);
    static std::string ReadFile(const std::string& strPath);
    static std::string Config(int nComPort, const std::string& strHexFile);

    // The window with its notices recorded instead of shown.
    std::unique_ptr<CFlashDlg> MakeWindow();
    // ... initialised; with nComPort >= 0 over a Config.xml remembering port and file.
    std::unique_ptr<CFlashDlg> StartWindow(int nComPort = -1,
                                           const std::string& strHexFile = "select file");

    std::vector<std::pair<std::string, unsigned>> m_aBoxes;

private:
    QTemporaryDir m_dir;
    QString m_strOldDir;
    std::vector<std::unique_ptr<CPtyPair>> m_aPtys;
};

// Runs the event loop until bDone() holds or nMs have passed; returns bDone().
bool WaitUntil(const std::function<bool()>& bDone, int nMs);

// A HEX file of nRecords 16-byte data records, CR LF ends; the marker of nType (0: none) first.
std::string MakeHexText(int nType, int nRecords);
QString StatusLine(const CFlashDlg& dlg);
std::map<uint32_t, uint8_t> FlashOfImage(const CHexImage& image);
std::vector<std::string> PortEntries(const CFlashDlg& dlg);
// The operator picks the entry with that text.
void PickPort(CFlashDlg& dlg, const std::string& strEntry);

// While alive, answers every modal window that opens: fnSeen gets it and closes it.
class CModalWatcher {
public:
    explicit CModalWatcher(std::function<void(QWidget*)> fnSeen);

private:
    QTimer m_timer;
};
