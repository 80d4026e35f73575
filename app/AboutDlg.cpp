#include "AboutDlg.h"

#include <QPushButton>

#include "DialogLayout.h"
#include "Resources.h"

CAboutDlg::CAboutDlg(QWidget* pOwner)
    : QDialog(pOwner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    using namespace res;
    const DlgTemplate tmpl{
        kAboutTitle,
        235,
        82,
        {
            {IDC_ABOUT_ICON, CtlKind::Icon, nullptr, 11, 17, 20, 20, true, true},
            {IDC_STATIC, CtlKind::Label, kAboutProduct, 40, 10, 119, 8, true, true},
            {IDC_STATIC, CtlKind::Label, kAboutNotice1, 39, 50, 119, 8, true, true},
            {IDC_STATIC, CtlKind::Label, kAboutNotice2, 39, 62, 110, 12, true, true},
            {IDOK, CtlKind::DefPushButton, "OK", 178, 7, 50, 14, true, true},
        }};
    BuildDialog(*this, tmpl);
    connect(static_cast<QPushButton*>(FindControl(*this, IDOK)), &QPushButton::clicked, this,
            &QDialog::accept);
}
