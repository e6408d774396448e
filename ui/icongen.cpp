// Build step: writes the application icon as PNG files, one per size given, into OUTDIR.
#include "ui/app_icon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: folio_icongen OUTDIR SIZE...\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "folio_icongen: bad size %s\n", argv[i]);
            return 2;
        }
        const QString name = dir.filePath(QStringLiteral("folioforge-%1.png").arg(size));
        if (!folio::ui::drawAppIcon(size).save(name, "PNG")) {
            std::fprintf(stderr, "folio_icongen: cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    return 0;
}
