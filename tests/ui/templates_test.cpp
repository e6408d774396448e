// The four templates as data, and the builder that turns them into widgets.
#include "ui/about_dlg.h"
#include "ui/app_icon.h"
#include "ui/make_dlg.h"
#include "ui/show_pic_dlg.h"
#include "ui/strings.h"
#include "ui/templates.h"
#include "ui_test_support.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QTextLayout>

using namespace folio::ui;
using namespace folio::ui::test;

class TemplatesTest : public QObject {
    Q_OBJECT
  private slots:
    void captionsSizesAndFonts_data();
    void captionsSizesAndFonts();
    void mainControlTable();
    void unitsFollowTheFont();
    void builtGeometryIsTheTableInUnits_data();
    void builtGeometryIsTheTableInUnits();
    void tabOrderIsTemplateOrder();
    void controlByIdFindsEachIdentifier();
    void stringTable();
    void aboutBox();
    void everyTextFitsItsControl();
    void iconHasThreeSizes();
};

void TemplatesTest::captionsSizesAndFonts_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("controls");
    QTest::newRow("about") << 100 << QStringLiteral("关于 Folioforge") << 235 << 55 << 9 << 4;
    QTest::newRow("main") << 102 << QStringLiteral("Folioforge0.8  by the Folioforge developers")
                          << 435 << 267 << 9 << 20;
    QTest::newRow("preview") << 129 << QStringLiteral("Dialog") << 186 << 94 << 8 << 1;
    QTest::newRow("progress") << 131 << QString() << 186 << 67 << 8 << 2;
}

void TemplatesTest::captionsSizesAndFonts() {
    QFETCH(int, id);
    QFETCH(QString, caption);
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(int, points);
    QFETCH(int, controls);
    const DialogTemplate& t = dialogTemplate(id);
    QCOMPARE(t.id, id);
    QCOMPARE(t.caption, caption);
    QCOMPARE(t.w, w);
    QCOMPARE(t.h, h);
    QCOMPARE(t.fontFace, QStringLiteral("MS Shell Dlg"));
    QCOMPARE(t.pointSize, points);
    QCOMPARE(static_cast<int>(t.controls.size()), controls);
    QCOMPARE(templateFont(t).pointSize(), points);
    QCOMPARE(templateFont(t).family(), QApplication::font().family());

    QDialog dlg;
    const DialogUnits u = buildDialog(dlg, t);
    QCOMPARE(dlg.size(), QSize(u.toPixelsX(w), u.toPixelsY(h)));
    QCOMPARE(dlg.windowTitle(), caption);
    QCOMPARE(dlg.font().pointSize(), points);
    QCOMPARE(bool(dlg.windowFlags() & Qt::FramelessWindowHint), caption.isEmpty());
}

void TemplatesTest::mainControlTable() {
    struct Row {
        int id;
        ControlClass cls;
        const char* text;
        int x, y, w, h;
    };
    const Row rows[] = {
        {1, ControlClass::Button, "MAKE", 371, 222, 57, 16},
        {2, ControlClass::Button, "EXIT", 371, 245, 57, 16},
        {1000, ControlClass::ListView, "", 7, 7, 356, 198},
        {1001, ControlClass::Edit, "", 40, 209, 132, 14},
        {1002, ControlClass::Edit, "", 40, 228, 132, 14},
        {1003, ControlClass::Edit, "", 40, 247, 132, 14},
        {1005, ControlClass::Button, "ADD FILE", 371, 7, 57, 14},
        {1006, ControlClass::Button, "MOVE TOP", 371, 49, 57, 14},
        {1007, ControlClass::Button, "UP", 371, 91, 57, 14},
        {1008, ControlClass::Button, "MOVE BOTTOM", 371, 70, 57, 14},
        {1009, ControlClass::Button, "DOWN", 371, 112, 57, 14},
        {1010, ControlClass::Button, "DEL FILE", 371, 28, 57, 14},
        {1011, ControlClass::Button, "Color/Gray", 371, 146, 57, 14},
        {kIdStatic, ControlClass::Static, "书名：", 7, 212, 22, 8},
        {kIdStatic, ControlClass::Static, "作者：", 7, 231, 22, 8},
        {kIdStatic, ControlClass::Static, "文件名：", 7, 250, 28, 8},
        {1018, ControlClass::Static, "黑白品质(50)：", 178, 212, 49, 8},
        {1019, ControlClass::Static, "彩色品质(80)：", 179, 231, 49, 8},
        {1016, ControlClass::Trackbar, "", 230, 210, 100, 15},
        {1017, ControlClass::Trackbar, "", 230, 228, 100, 15},
    };
    const DialogTemplate& t = dialogTemplate(kIddMain);
    QCOMPARE(t.controls.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const ControlTemplate& c = t.controls[i];
        QCOMPARE(c.id, rows[i].id);
        QVERIFY(c.cls == rows[i].cls);
        QCOMPARE(c.text, QString::fromUtf8(rows[i].text));
        QCOMPARE(QRect(c.x, c.y, c.w, c.h), QRect(rows[i].x, rows[i].y, rows[i].w, rows[i].h));
    }
    QVERIFY(t.controls[0].style & kDefaultButton);
    QVERIFY(!(t.controls[1].style & kDefaultButton));
}

void TemplatesTest::unitsFollowTheFont() {
    QFont small = QApplication::font();
    small.setPointSize(8);
    QFont big = small;
    big.setPointSize(20);
    const DialogUnits a = DialogUnits::forFont(small);
    const DialogUnits b = DialogUnits::forFont(big);
    QVERIFY(b.baseX > a.baseX);
    QVERIFY(b.baseY > a.baseY);
    const QFontMetrics fm(big);
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    QVERIFY(std::abs(b.baseX * 52 - letters) <= 52); // the rounded average
    QVERIFY(b.baseY >= fm.height());
    // A line of the tool's Chinese texts, in whatever fallback font draws it, fits eight units.
    QTextLayout layout(QStringLiteral("版权所有 (C) 作者"), big);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e6);
    QVERIFY(line.height() <= b.toPixelsY(8));
    layout.endLayout();
    // Four horizontal units are one average character, eight vertical ones the font height.
    QCOMPARE(b.toPixelsX(4), b.baseX);
    QCOMPARE(b.toPixelsY(8), b.baseY);
    QCOMPARE(b.toPixelsX(400), b.baseX * 100);
}

void TemplatesTest::builtGeometryIsTheTableInUnits_data() {
    QTest::addColumn<int>("dialog");
    QTest::newRow("about") << 100;
    QTest::newRow("main") << 102;
    QTest::newRow("preview") << 129;
    QTest::newRow("progress") << 131;
}

void TemplatesTest::builtGeometryIsTheTableInUnits() {
    QFETCH(int, dialog);
    const DialogTemplate& t = dialogTemplate(dialog);
    QDialog dlg;
    const DialogUnits u = buildDialog(dlg, t);
    const QList<QWidget*> widgets = dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(widgets.size(), static_cast<qsizetype>(t.controls.size()));
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
        const ControlTemplate& c = t.controls[i];
        QWidget* w = widgets[static_cast<qsizetype>(i)];
        QCOMPARE(w->geometry(), u.toPixels(c.x, c.y, c.w, c.h));
        if (c.id != kIdStatic) QCOMPARE(controlById(dlg, c.id), w);
    }
}

void TemplatesTest::tabOrderIsTemplateOrder() {
    QDialog dlg;
    buildDialog(dlg, dialogTemplate(kIddMain));
    const int expected[] = {1,    2,    1000, 1001, 1002, 1003, 1005, 1006,
                            1007, 1008, 1009, 1010, 1011, 1016, 1017};
    QWidget* w = controlById(dlg, 1);
    QVERIFY(w);
    for (int id : expected) {
        QCOMPARE(w->objectName(), QString::number(id));
        QVERIFY(w->focusPolicy() & Qt::TabFocus);
        do {
            w = w->nextInFocusChain();
        } while (!(w->focusPolicy() & Qt::TabFocus) && w != controlById(dlg, 1));
    }
    // The labels take no focus.
    QCOMPARE(controlById(dlg, 1018)->focusPolicy(), Qt::NoFocus);
}

void TemplatesTest::controlByIdFindsEachIdentifier() {
    QDialog dlg;
    buildDialog(dlg, dialogTemplate(kIddMain));
    QVERIFY(control<QPushButton>(dlg, 1));
    QVERIFY(control<QPushButton>(dlg, 1)->isDefault());
    QVERIFY(!control<QPushButton>(dlg, 2)->isDefault());
    QVERIFY(control<QTableWidget>(dlg, 1000));
    QVERIFY(control<QLineEdit>(dlg, 1003));
    QVERIFY(control<QSlider>(dlg, 1017));
    QCOMPARE(control<QSlider>(dlg, 1017)->orientation(), Qt::Horizontal);
    QCOMPARE(control<QSlider>(dlg, 1017)->tickPosition(), QSlider::NoTicks);
    QVERIFY(control<QLabel>(dlg, 1019));
    QCOMPARE(controlById(dlg, 4242), nullptr);
    // An owned window keeps its identifiers to itself.
    QDialog owned(&dlg);
    buildDialog(owned, dialogTemplate(kIddPreview));
    QVERIFY(qobject_cast<QPushButton*>(controlById(dlg, 1006)));
    QVERIFY(qobject_cast<QLabel*>(controlById(owned, 1006)));
}

void TemplatesTest::stringTable() {
    QCOMPARE(loadString(101), QStringLiteral("关于 Folioforge(&A)..."));
    QCOMPARE(loadString(103), QStringLiteral("Windows 套接字初始化失败。"));
    QVERIFY(loadString(102).isEmpty());
    QCOMPARE(grayQualityText(7), QStringLiteral("灰色品质(7):"));
    QCOMPARE(colorQualityText(100), QStringLiteral("彩色品质(100):"));
}

void TemplatesTest::aboutBox() {
    CAboutDlg about(nullptr);
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Folioforge"));
    auto* ok = control<QPushButton>(about, 1);
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("确定"));
    QVERIFY(ok->isDefault());
    const QList<QLabel*> labels = about.findChildren<QLabel*>();
    QCOMPARE(labels.size(), 3);
    QVERIFY(!labels[0]->pixmap().isNull());
    QCOMPARE(labels[1]->text(), QStringLiteral("Folioforge Version 1.0"));
    QCOMPARE(labels[1]->textFormat(), Qt::PlainText);
    QVERIFY(!labels[2]->text().isEmpty());
    about.show();
    QVERIFY(about.isVisible());
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
}

// Each window with the widest texts it shows: no glyph may be cut by its control's edge.
void TemplatesTest::everyTextFitsItsControl() {
    CAboutDlg about(nullptr);
    QStringList clipped = clippedTexts(about);

    MainWindowRig rig;
    for (int p : {100, 0}) {
        rig.dlg.m_sliderGray->setValue(p);
        rig.dlg.m_sliderColor->setValue(p);
        clipped << clippedTexts(rig.dlg);
    }
    // The template texts of the two quality labels, although initialisation replaces them.
    QDialog bare;
    buildDialog(bare, dialogTemplate(kIddMain));
    clipped << clippedTexts(bare);

    MakeProgress progress(&rig.dlg);
    progress.StartProgress();
    const std::string longPath =
        "/home/someone/Documents/扫描的书/一本很长的书名的第一卷/第十二章 最后的日子/page0123.png";
    for (const std::string& path : {std::string("/tmp/页面1.png"), longPath}) {
        progress.ShowCurrentPage(path, 998, 1000);
        clipped << clippedTexts(*progress.window());
    }

    // The preview's word for a file that no longer loads, and the message boxes.
    CShowPicDlg preview;
    preview.Create(&rig.dlg);
    preview.m_strPath = "/nowhere/扫描的书/第十二章 最后的日子.png";
    preview.ShowPicture();
    clipped << clippedTexts(preview);
    for (const char* text :
         {"文件制造成功!", "文件已经存在，要覆盖吗？", "Windows 套接字初始化失败。"}) {
        QMessageBox box(QMessageBox::NoIcon, kAppName, QString::fromUtf8(text),
                        QMessageBox::Yes | QMessageBox::No);
        box.show();
        clipped << clippedTexts(box);
    }
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QLatin1Char('\n'))));
}

void TemplatesTest::iconHasThreeSizes() {
    const QIcon icon = appIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (int s : {16, 32, 48}) {
        QVERIFY2(sizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
        // Each stored size itself, whatever the screen's scale (at 2 a 16-pixel request is
        // served from the 32-pixel image).
        const QImage img = icon.pixmap(QSize(s, s), 1.0).toImage();
        QCOMPARE(img.size(), QSize(s, s));
        // Drawn, not blank: some opaque pixels and some transparent corners.
        QVERIFY(qAlpha(img.pixel(s / 2, s / 2)) == 255);
    }
    QVERIFY(drawAppIcon(48) == QImage(QStringLiteral(":/icons/folioforge-48.png"))
                                   .convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

QTEST_MAIN(TemplatesTest)
#include "templates_test.moc"
