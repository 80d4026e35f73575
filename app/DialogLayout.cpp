#include "DialogLayout.h"

#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "AppIcon.h"

namespace {

// Multiplies and divides with rounding to nearest, halves away from zero.
int MulDiv(int nValue, int nMul, int nDiv) {
    const long long nProduct = static_cast<long long>(nValue) * nMul;
    const long long nHalf = nDiv / 2;
    return static_cast<int>(nProduct >= 0 ? (nProduct + nHalf) / nDiv : (nProduct - nHalf) / nDiv);
}

QWidget* CreateControl(QDialog& dlg, const CtlTemplate& ctl, const CDialogUnits& du) {
    const QString strText = QString::fromUtf8(ctl.szText ? ctl.szText : "");
    QRect rc = du.Map(ctl.x, ctl.y, ctl.cx, ctl.cy);
    QWidget* pWidget = nullptr;
    switch (ctl.kind) {
        case CtlKind::PushButton:
        case CtlKind::DefPushButton: {
            auto* pButton = new QPushButton(strText, &dlg);
            pButton->setDefault(ctl.kind == CtlKind::DefPushButton);
            pWidget = pButton;
            break;
        }
        case CtlKind::Label: {
            auto* pLabel = new QLabel(strText, &dlg);
            pLabel->setTextFormat(Qt::PlainText);
            pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            pWidget = pLabel;
            break;
        }
        case CtlKind::DropList: {
            auto* pCombo = new QComboBox(&dlg);
            // The template's height includes the opened list; the closed box is as tall as
            // the style makes it, the list shows what fits in the rest.
            const int nClosed = pCombo->sizeHint().height();
            const int nItem = QFontMetrics(dlg.font()).height() + 2;
            pCombo->setMaxVisibleItems(std::max(1, (rc.height() - nClosed) / nItem));
            rc.setHeight(nClosed);
            pWidget = pCombo;
            break;
        }
        case CtlKind::ReadOnlyEdit: {
            auto* pEdit = new QLineEdit(strText, &dlg);
            pEdit->setReadOnly(true);
            pWidget = pEdit;
            break;
        }
        case CtlKind::Progress: {
            auto* pBar = new QProgressBar(&dlg);
            pBar->setTextVisible(false);
            pBar->setRange(0, 100);
            pBar->setValue(0);
            pWidget = pBar;
            break;
        }
        case CtlKind::Icon: {
            auto* pLabel = new QLabel(&dlg);
            // An icon control takes the size of the icon, not of its template rectangle.
            pLabel->setPixmap(AppIcon().pixmap(32, 32));
            rc.setSize(QSize(32, 32));
            pWidget = pLabel;
            break;
        }
    }
    pWidget->setGeometry(rc);
    pWidget->setProperty("ctrlId", ctl.nId);
    pWidget->setObjectName(ctl.nId >= 0 ? QStringLiteral("id%1").arg(ctl.nId)
                                        : QStringLiteral("static"));
    pWidget->setVisible(ctl.bVisible);
    pWidget->setEnabled(ctl.bEnabled);
    return pWidget;
}

}  // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // Average width over the 52 letters, rounded, as dialog managers measure it.
    const int nLetters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = std::max(1, (nLetters / 26 + 1) / 2);
    m_nBaseY = std::max(1, fm.height());
}

QRect CDialogUnits::Map(int x, int y, int cx, int cy) const {
    return QRect(MulDiv(x, m_nBaseX, 4), MulDiv(y, m_nBaseY, 8), MulDiv(cx, m_nBaseX, 4),
                 MulDiv(cy, m_nBaseY, 8));
}

QSize CDialogUnits::MapSize(int cx, int cy) const {
    return QSize(MulDiv(cx, m_nBaseX, 4), MulDiv(cy, m_nBaseY, 8));
}

namespace {
int g_nFontDpi = 0;
}  // namespace

void SetDialogFontDpi(int nDpi) {
    g_nFontDpi = nDpi;
}

QFont DialogFont() {
    constexpr int kPoints = 8;
    QFont font(QStringLiteral("MS Sans Serif"));
    if (g_nFontDpi > 0)
        font.setPixelSize((kPoints * g_nFontDpi + 36) / 72);
    else
        font.setPointSize(kPoints);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

std::vector<QWidget*> BuildDialog(QDialog& dlg, const DlgTemplate& tmpl) {
    dlg.setWindowTitle(QString::fromUtf8(tmpl.szTitle));
    dlg.setFont(DialogFont());
    const CDialogUnits du(dlg.font());
    dlg.setFixedSize(du.MapSize(tmpl.cx, tmpl.cy));

    std::vector<QWidget*> aControls;
    QWidget* pPrevFocus = nullptr;
    for (const CtlTemplate& ctl : tmpl.aControls) {
        QWidget* pWidget = CreateControl(dlg, ctl, du);
        aControls.push_back(pWidget);
        if (pWidget->focusPolicy() & Qt::TabFocus) {
            if (pPrevFocus) QWidget::setTabOrder(pPrevFocus, pWidget);
            pPrevFocus = pWidget;
        }
    }
    return aControls;
}

QWidget* FindControl(const QWidget& dlg, int nId) {
    for (QWidget* pChild : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant id = pChild->property("ctrlId");
        if (id.isValid() && id.toInt() == nId) return pChild;
    }
    return nullptr;
}
