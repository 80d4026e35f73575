#pragma once

#include <QDialog>

// The About box (template 100): icon, product and version, two notices, "OK".
class CAboutDlg : public QDialog {
public:
    CAboutDlg();
};
