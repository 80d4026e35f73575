#pragma once

#include <QDialog>

// The About box (template 100): icon, product and version, two notices, "OK". Owned by the
// window it is opened from, so that it opens over it and stays on top of it.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* pOwner = nullptr);
};
