#include "MessageBox.h"

#include <QMessageBox>

#include "Resources.h"

void ShowMessageBox(QWidget* pOwner, const std::string& strText, unsigned nStyle) {
    const QMessageBox::Icon icon =
        (nStyle & 0xF0) == res::MB_ICONSTOP ? QMessageBox::Critical : QMessageBox::NoIcon;
    QMessageBox box(icon, QString::fromUtf8(res::kAppName), QString::fromLocal8Bit(strText),
                    QMessageBox::Ok, pOwner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
