// Build helper: writes the application icon as PNG files for installation.
#include <QGuiApplication>
#include <QString>

#include <cstdio>

#include "AppIcon.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvi-icon-gen OUTDIR\n");
        return 2;
    }
    for (int nSize : {16, 32, 48}) {
        const QString strFile = QStringLiteral("%1/korvi-flasher-%2.png")
                                    .arg(QString::fromLocal8Bit(argv[1]))
                                    .arg(nSize);
        if (!DrawAppIcon(nSize).save(strFile)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(strFile));
            return 1;
        }
    }
    return 0;
}
