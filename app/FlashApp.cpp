#include "FlashApp.h"

#include <memory>

#include "AppIcon.h"
#include "FlashDlg.h"
#include "PortPins.h"
#include "Resources.h"

const int g_nWmRecSerial = QEvent::registerEventType();

CFlashApp::CFlashApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromUtf8(res::kAppName));
    setApplicationVersion(QString::fromUtf8(res::kAppVersion));
    setDesktopFileName(QStringLiteral("korvi-flasher"));
    setWindowIcon(AppIcon());
}

bool CFlashApp::InitInstance() {
    // Pins come first so that the window's port probe already sees them.
    LoadPortPins("Config.xml");

    auto pDlg = std::make_unique<CFlashDlg>();
    pDlg->DoModal();
    pDlg.reset();
    return false;
}
