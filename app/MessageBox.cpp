#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include "Resources.h"

namespace {

// Qt centres a box over its owner's position, which is still the corner of the screen while the
// owner has not been shown (the start-up boxes): such a box is centred on the screen instead.
class CCentredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* pEvent) override {
        QMessageBox::showEvent(pEvent);  // takes its final size, then places itself
        const QWidget* pOwner = parentWidget();
        if (pOwner && pOwner->isVisible()) return;
        const QScreen* pScreen = pOwner ? pOwner->screen() : QGuiApplication::primaryScreen();
        if (!pScreen) return;
        QRect rc = frameGeometry();
        rc.moveCenter(pScreen->availableGeometry().center());
        move(rc.topLeft());
    }
};

}  // namespace

void ShowMessageBox(QWidget* pOwner, const std::string& strText, unsigned nStyle) {
    const QMessageBox::Icon icon =
        (nStyle & 0xF0) == res::MB_ICONSTOP ? QMessageBox::Critical : QMessageBox::NoIcon;
    CCentredBox box(icon, QString::fromUtf8(res::kAppName), QString::fromLocal8Bit(strText),
                    QMessageBox::Ok, pOwner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
