// Our image as a Qt image, and a picture loaded for the preview (Qt Gui only, like the bridge).
#include "book/image/Image.h"
#include "ui/book_bridge.h"

#include <QTemporaryDir>
#include <QTest>

using namespace folio;
using namespace folio::ui;

class ImageBridgeTest : public QObject {
    Q_OBJECT
  private slots:
    void indexedKeepsIndicesAndPalette();
    void trueColourKeepsEveryByte();
    void emptyImageGivesNull();
    void previewLoadsByName();
};

void ImageBridgeTest::indexedKeepsIndicesAndPalette() {
    for (std::uint16_t bpp : {1, 4, 8}) {
        Image indexed;
        QVERIFY(indexed.Create(3, 2, bpp));
        const Rgb palette[] = {{1, 2, 3}, {250, 0, 7}, {9, 200, 90}};
        indexed.SetPalette(std::span<const Rgb>(palette, bpp == 1 ? 2 : 3));
        const std::uint8_t idx[] = {0, 1, 1, 1, 1, 0};
        for (int i = 0; i < 6; ++i)
            indexed.Pixels()[static_cast<std::size_t>(i)] =
                bpp == 1 ? idx[i] : static_cast<std::uint8_t>((idx[i] + i) % 3);
        const QImage q = toQImage(indexed);
        QCOMPARE(q.format(), QImage::Format_Indexed8);
        QCOMPARE(q.colorCount(), 1 << bpp);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) {
                const Rgb c = indexed.PixelColor(static_cast<std::uint32_t>(x),
                                                 static_cast<std::uint32_t>(y));
                QCOMPARE(q.pixel(x, y), qRgb(c.r, c.g, c.b));
                QCOMPARE(q.pixelIndex(x, y), int(indexed.Row(static_cast<std::uint32_t>(y))[x]));
            }
    }
}

void ImageBridgeTest::trueColourKeepsEveryByte() {
    Image rgb;
    QVERIFY(rgb.Create(5, 3, 24));
    for (std::size_t i = 0; i < rgb.Pixels().size(); ++i)
        rgb.Pixels()[i] = static_cast<std::uint8_t>(i * 17 + 3);
    const QImage r = toQImage(rgb);
    QCOMPARE(r.format(), QImage::Format_RGB888);
    QCOMPARE(r.size(), QSize(5, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            const std::uint8_t* p = rgb.Row(static_cast<std::uint32_t>(y)) + x * 3;
            QCOMPARE(r.pixel(x, y), qRgb(p[0], p[1], p[2]));
        }
}

void ImageBridgeTest::emptyImageGivesNull() {
    QVERIFY(toQImage(Image()).isNull());
}

void ImageBridgeTest::previewLoadsByName() {
    QTemporaryDir dir;
    QImage src(7, 4, QImage::Format_RGB888);
    src.fill(qRgb(10, 20, 30));
    src.setPixel(6, 3, qRgb(200, 100, 50));
    const QString png = dir.filePath(QStringLiteral("x.png"));
    QVERIFY(src.save(png));
    PreviewPicture p = loadPreviewPicture(png.toStdString());
    QVERIFY(p.hasType);
    QVERIFY(p.loaded);
    QCOMPARE(p.image.size(), QSize(7, 4));
    QCOMPARE(p.image.pixel(6, 3), qRgb(200, 100, 50));
    QCOMPARE(p.image.pixel(0, 0), qRgb(10, 20, 30));

    // No type by name: nothing is opened.
    QVERIFY(QFile::copy(png, dir.filePath(QStringLiteral("x.txt"))));
    p = loadPreviewPicture(dir.filePath(QStringLiteral("x.txt")).toStdString());
    QVERIFY(!p.hasType);
    QVERIFY(!p.loaded);
    p = loadPreviewPicture(std::string());
    QVERIFY(!p.hasType);
    // A name with a type whose file is missing.
    p = loadPreviewPicture(dir.filePath(QStringLiteral("gone.png")).toStdString());
    QVERIFY(p.hasType);
    QVERIFY(!p.loaded);
    QVERIFY(p.image.isNull());
}

QTEST_GUILESS_MAIN(ImageBridgeTest)
#include "image_test.moc"
