#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <vector>

class QDialog;
class QWidget;

// Converts dialog units into pixels of a font: a horizontal unit is a quarter of the font's
// average character width, a vertical unit an eighth of its character height.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }
    QRect Map(int x, int y, int cx, int cy) const;
    QSize MapSize(int cx, int cy) const;

private:
    int m_nBaseX;
    int m_nBaseY;
};

// The templates' font, 8-point "MS Sans Serif"; fontconfig stands in a sans-serif face.
QFont DialogFont();
// Sizes that font as on a screen of nDpi dots per inch from now on (0: the screen's own), so
// that tests can lay the dialogs out for other screens.
void SetDialogFontDpi(int nDpi);

enum class CtlKind { PushButton, DefPushButton, Label, DropList, ReadOnlyEdit, Progress, Icon };

struct CtlTemplate {
    int nId;
    CtlKind kind;
    const char* szText;
    int x, y, cx, cy;
    bool bVisible;
    bool bEnabled;
};

struct DlgTemplate {
    const char* szTitle;
    int cx, cy;                          // client area
    std::vector<CtlTemplate> aControls;  // tab order
};

// Gives the dialog its title, font and fixed client size and creates the controls in tab
// order; each carries its id as property "ctrlId" and as object name "id<n>".
std::vector<QWidget*> BuildDialog(QDialog& dlg, const DlgTemplate& tmpl);

// The control with that id, nullptr when there is none.
QWidget* FindControl(const QWidget& dlg, int nId);
