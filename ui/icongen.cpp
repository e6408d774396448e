// Build step: writes the application icon as PNG files into the directory given.
#include "ui/app_icon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: folio_icongen OUTDIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (int size : folio::ui::kIconSizes) {
        const QString name = dir.filePath(QStringLiteral("folioforge-%1.png").arg(size));
        if (!folio::ui::drawAppIcon(size).save(name, "PNG")) {
            std::fprintf(stderr, "folio_icongen: cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    return 0;
}
