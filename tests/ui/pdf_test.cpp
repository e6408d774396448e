// A PDF in the window: given on the command line or dropped it gives one row per page, and
// the preview shows a page rendered at the size its row gives.
#include "../pdf_support.h"
#include "book/sources/source.h"
#include "ui/book_bridge.h"
#include "ui/page_list_dlg.h"
#include "ui_test_support.h"

#include <QFile>
#include <QMimeData>
#include <QTest>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

class PdfTest : public QObject {
    Q_OBJECT
  private slots:
    void pagesBecomeRowsAndPreviewRendered();
};

void PdfTest::pagesBecomeRowsAndPreviewRendered() {
    QTemporaryDir dir;
    const std::string pdf = toNative(dir.filePath(QStringLiteral("two pages.pdf")));
    const auto bytes = folio::test::pdfBytes(
        {{595.276, 841.89, 0, 0, nullptr, {"One"}}, {400, 300, 0, 0, nullptr, {"Two"}}});
    QFile file(fromNative(pdf));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    file.close();
    MainWindowRig fromCommandLine, dropped;
    QVERIFY(fromCommandLine.dlg.AddFiles({pdf}).empty());
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(fromNative(pdf))});
    QVERIFY(dropOnList(dropped.dlg, mime));
    for (const MainWindowRig* rig : {&fromCommandLine, &dropped}) {
        QCOMPARE(modelColumn(rig->dlg, kCellPath),
                 QStringList({fromNative(pdf + "/0001"), fromNative(pdf + "/0002")}));
        QCOMPARE(modelColumn(rig->dlg, kCellFileName), QStringList({"0001", "0002"}));
        QCOMPARE(modelColumn(rig->dlg, kCellResolution),
                 QStringList({"1280x1810x24", "1707x1280x24"}));
        QCOMPARE(viewColumn(rig->dlg, kCellResolution), modelColumn(rig->dlg, kCellResolution));
    }
    const PreviewPicture page = loadPreviewPicture(pdf + "/0002");
    QVERIFY(page.loaded);
    QCOMPARE(page.image.size(), QSize(1707, 1280));
    // White paper with black text on it, not an empty picture.
    QCOMPARE(page.image.pixelColor(5, 5), QColor(Qt::white));
    QVERIFY(!loadPreviewPicture(pdf + "/0003").loaded);
}

QTEST_MAIN(PdfTest)
#include "pdf_test.moc"
