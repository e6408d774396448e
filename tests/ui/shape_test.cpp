// The preview's book view, colour marks set by content and margins cut, in the window.
#include "book/format/book_check.h"
#include "cli/cli.h"
#include "ui/page_list_dlg.h"
#include "ui/show_pic_dlg.h"
#include "ui_test_support.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QSlider>
#include <QTableWidget>
#include <QTest>

#include <cmath>

#include <sstream>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {

// A page of dark word strokes on white paper, with a red figure of 2% of the page or not,
// inside margins of the given width.
std::string writeScan(const QTemporaryDir& dir, const QString& name, int w, int h, bool figure,
                      int margin = 60) {
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(QColor(250, 250, 248));
    QPainter p(&img);
    for (int y = margin; y + 24 < h - margin; y += 40)
        for (int x = margin; x + 10 < w - margin; x += 9)
            if ((x / 60) % 5 != 4) p.fillRect(x, y, 5, 22, QColor(25, 25, 25));
    if (figure) {
        const int side = static_cast<int>(std::sqrt(0.02 * w * h));
        p.fillRect(w - margin - side, margin, side, side, QColor(200, 30, 40));
    }
    p.end();
    const QString path = dir.filePath(name);
    if (!img.save(path, "PNG")) qFatal("cannot write %s", qPrintable(path));
    return toNative(path);
}

std::vector<std::uint8_t> readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    return {b.begin(), b.end()};
}

std::vector<std::uint8_t> bookPage(const QString& book, std::size_t i) {
    const std::vector<std::uint8_t> bytes = readAll(book);
    const BookInfo info = checkBook(bytes);
    if (i >= info.pages.size()) return {};
    const auto& p = info.pages[i];
    return {bytes.begin() + static_cast<std::ptrdiff_t>(p.offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size)};
}

QSize shownSize(const CShowPicDlg& p) {
    return p.picture()->pixmap().size();
}

bool settled(const CShowPicDlg& p) {
    return !p.isRendering() && (!p.isBookView() || p.bookPageBytes());
}

std::vector<std::uint8_t> bytesOf(const PageBytes& page) {
    return page ? *page : std::vector<std::uint8_t>{};
}

} // namespace

class ShapeTest : public QObject {
    Q_OBJECT
  private slots:
    void bookViewShowsThePageMakeWrites();
    void bookViewStaysWhileFollowing();
    void commandsAndKeys();
    void colourMarksByContent();
    void marginsCutInMakeAndBookView();
    void spreadAndStripItems();
    void bookViewStepsThroughTheRowsPages();
};

void ShapeTest::bookViewShowsThePageMakeWrites() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.AddFiles({writePicture(dir, QStringLiteral("tall.png"), 1200, 1600)});
    doubleClickAt(rig.dlg, rowCentre(rig.dlg, 0));
    CShowPicDlg* preview = rig.dlg.preview();
    QVERIFY(preview && preview->isVisible());
    QCOMPARE(shownSize(*preview), QSize(1200, 1600));

    QApplication::setActiveWindow(preview);
    QTRY_COMPARE(QApplication::activeWindow(), preview);
    QTest::keyClick(preview->scrollArea(), Qt::Key_B);
    QVERIFY(preview->isBookView());
    QTRY_VERIFY(settled(*preview));
    QCOMPARE(shownSize(*preview), QSize(853, 640));
    QCOMPARE(preview->windowTitle(), QStringLiteral("Dialog"));
    QVERIFY(preview->pageFacts()->isVisible());
    const QString facts = preview->pageFacts()->text();
    QVERIFY2(facts.contains(QStringLiteral(" KB")) && facts.contains(QStringLiteral("品质 50")) &&
                 facts.contains(QStringLiteral("灰度")),
             qPrintable(facts));
    const std::vector<std::uint8_t> shown = bytesOf(preview->bookPageBytes());

    const QString book = dir.filePath(QStringLiteral("b"));
    rig.dlg.m_editFileName->setText(book);
    clickButton(rig.dlg, 1);
    QCOMPARE(bookPage(book + ".QFB", 0), shown);

    // The slider's quality, as MAKE would take it now.
    rig.dlg.m_sliderGray->setValue(30);
    QTRY_VERIFY(settled(*preview) &&
                preview->pageFacts()->text().contains(QStringLiteral("品质 30")));
    QVERIFY(bytesOf(preview->bookPageBytes()) != shown);

    QApplication::setActiveWindow(preview);
    QTRY_COMPARE(QApplication::activeWindow(), preview);
    QTest::keyClick(preview->scrollArea(), Qt::Key_B);
    QVERIFY(!preview->isBookView());
    QCOMPARE(shownSize(*preview), QSize(1200, 1600));
    QVERIFY(!preview->pageFacts()->isVisible());
    QVERIFY(!preview->bookPageBytes());
}

void ShapeTest::bookViewStaysWhileFollowing() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.AddFiles({writePicture(dir, QStringLiteral("a.png"), 1200, 1600),
                      writePicture(dir, QStringLiteral("b.png"), 500, 400)});
    rig.dlg.pages().setCellText(1, kCellGrayFlag, "No");
    doubleClickAt(rig.dlg, rowCentre(rig.dlg, 0));
    CShowPicDlg* preview = rig.dlg.preview();
    preview->bookViewAction()->trigger();
    QTRY_VERIFY(settled(*preview));
    clickRow(rig.dlg, 1);
    QTRY_VERIFY(settled(*preview) && shownSize(*preview) == QSize(800, 640));
    QVERIFY(preview->isBookView());
    QVERIFY(preview->pageFacts()->text().contains(QStringLiteral("品质 80 · 彩色")));
}

void ShapeTest::commandsAndKeys() {
    MainWindowRig rig;
    QAction* colour = rig.dlg.autoColorAction();
    QAction* crop = rig.dlg.cropAction();
    QVERIFY(colour && crop);
    QCOMPARE(colour->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
    QCOMPARE(crop->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
    QVERIFY(crop->isCheckable() && !crop->isChecked());
    QVERIFY(rig.dlg.actions().contains(colour) && rig.dlg.actions().contains(crop));
    QTest::keyClick(rig.dlg.m_list, Qt::Key_M, Qt::ControlModifier);
    QVERIFY(crop->isChecked());
}

void ShapeTest::colourMarksByContent() {
    QTemporaryDir dir;
    MainWindowRig rig;
    const std::vector<std::string> files = {
        writeScan(dir, QStringLiteral("text.png"), 1200, 1600, false),
        writeScan(dir, QStringLiteral("figure.png"), 1200, 1600, true),
        writeScan(dir, QStringLiteral("text2.png"), 900, 1200, false),
        writePicture(dir, QStringLiteral("gone.png"), 50, 50)};
    rig.dlg.AddFiles(files);
    QFile::remove(fromNative(files[3]));
    PageList& pages = rig.dlg.pages();
    pages.setCellText(0, kCellGrayFlag, "No");

    // No row selected: every row; one that no longer loads keeps its mark and is named.
    QTest::keyClick(rig.dlg.m_list, Qt::Key_G, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(modelColumn(rig.dlg, kCellGrayFlag), (QStringList{"Yes", "No", "Yes", "Yes"}));
    QCOMPARE(viewColumn(rig.dlg, kCellGrayFlag), modelColumn(rig.dlg, kCellGrayFlag));
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QVERIFY(rig.boxes.calls[0].details.contains(QStringLiteral("gone.png")));

    // make --auto-color decides the same for every page.
    std::ostringstream out, err;
    const QString book = dir.filePath(QStringLiteral("auto"));
    QCOMPARE(cli::run({"make", "-q", "--auto-color", "-o", toNative(book), files[0], files[1],
                       "--color", files[2]},
                      out, err),
             0);
    const BookInfo info = checkBook(readAll(book + ".QFB"));
    QCOMPARE(info.pages.size(), std::size_t(3));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(info.pages[static_cast<std::size_t>(i)].components,
                 pages.cellText(i, kCellGrayFlag) == "No" ? 3 : 1);

    // With a selection only the selected rows.
    pages.setCellText(0, kCellGrayFlag, "No");
    pages.setCellText(2, kCellGrayFlag, "No");
    selectRows(rig.dlg, {2});
    rig.dlg.autoColorAction()->trigger();
    QCOMPARE(modelColumn(rig.dlg, kCellGrayFlag), (QStringList{"No", "No", "Yes", "Yes"}));
}

void ShapeTest::marginsCutInMakeAndBookView() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.AddFiles({writeScan(dir, QStringLiteral("wide.png"), 1200, 1600, false, 300)});
    const QStringList cells = modelColumn(rig.dlg, 1);
    rig.dlg.cropAction()->trigger();
    const QString book = dir.filePath(QStringLiteral("cut"));
    rig.dlg.m_editFileName->setText(book);
    clickButton(rig.dlg, 1);
    const BookInfo info = checkBook(readAll(book + ".QFB"));
    QCOMPARE(info.pages.size(), std::size_t(1));
    QCOMPARE(info.pages[0].height, 640u);
    QVERIFY(info.pages[0].width != 853u); // the content's shape, not the sheet's
    QCOMPARE(modelColumn(rig.dlg, 1), cells);

    doubleClickAt(rig.dlg, rowCentre(rig.dlg, 0));
    CShowPicDlg* preview = rig.dlg.preview();
    preview->SetBookView(true);
    QTRY_VERIFY(settled(*preview));
    QCOMPARE(bytesOf(preview->bookPageBytes()), bookPage(book + ".QFB", 0));
    // Margins back: the book view follows at once.
    rig.dlg.cropAction()->trigger();
    QTRY_VERIFY(settled(*preview) && shownSize(*preview) == QSize(853, 640));
}

void ShapeTest::spreadAndStripItems() {
    MainWindowRig rig;
    const struct {
        QAction* action;
        QKeySequence key;
        QString text;
    } items[] = {
        {rig.dlg.splitAction(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
         QStringLiteral("切分跨页")},
        {rig.dlg.rtlAction(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
         QStringLiteral("从右到左")},
        {rig.dlg.stripsAction(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T),
         QStringLiteral("长条切页")},
    };
    for (const auto& item : items) {
        QVERIFY(item.action);
        QVERIFY(item.action->text().startsWith(item.text));
        QCOMPARE(item.action->shortcut(), item.key);
        QVERIFY(item.action->isCheckable() && !item.action->isChecked());
        QVERIFY(rig.dlg.actions().contains(item.action));
        // No other command of the window takes the key.
        for (QAction* other : rig.dlg.actions())
            if (other != item.action) QVERIFY(other->shortcut() != item.key);
        QTest::keyClick(rig.dlg.m_list, item.key[0].key(), item.key[0].keyboardModifiers());
        QVERIFY(item.action->isChecked());
    }
}

void ShapeTest::bookViewStepsThroughTheRowsPages() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.AddFiles({writeScan(dir, QStringLiteral("spread.png"), 1600, 700, true, 40)});
    rig.dlg.splitAction()->trigger();
    const QString book = dir.filePath(QStringLiteral("halves"));
    rig.dlg.m_editFileName->setText(book);
    clickButton(rig.dlg, 1);
    QCOMPARE(checkBook(readAll(book + ".QFB")).pages.size(), std::size_t(2));
    QCOMPARE(rig.dlg.m_list->rowCount(), 1);

    doubleClickAt(rig.dlg, rowCentre(rig.dlg, 0));
    CShowPicDlg* preview = rig.dlg.preview();
    preview->SetBookView(true);
    QTRY_VERIFY(settled(*preview) && preview->bookPageCount() == 2);
    QCOMPARE(preview->bookPageIndex(), 0);
    QCOMPARE(bytesOf(preview->bookPageBytes()), bookPage(book + ".QFB", 0));
    QVERIFY2(preview->pageFacts()->text().startsWith(QStringLiteral("第 1/2 页")),
             qPrintable(preview->pageFacts()->text()));
    preview->nextPageAction()->trigger();
    // The index moves at once; the page follows when it is made.
    QTRY_VERIFY(settled(*preview) && preview->bookPageIndex() == 1 &&
                preview->pageFacts()->text().startsWith(QStringLiteral("第 2/2 页")));
    QCOMPARE(bytesOf(preview->bookPageBytes()), bookPage(book + ".QFB", 1));
    // Right to left: the first page shown is the right half.
    rig.dlg.rtlAction()->trigger();
    preview->nextPageAction()->trigger();
    QTRY_VERIFY(settled(*preview) && preview->bookPageIndex() == 0 &&
                bytesOf(preview->bookPageBytes()) == bookPage(book + ".QFB", 1));
    // Off again: one page, no count shown.
    rig.dlg.splitAction()->trigger();
    QTRY_VERIFY(settled(*preview) && preview->bookPageCount() == 1 &&
                !preview->pageFacts()->text().contains(QStringLiteral("第 ")));
    QVERIFY(!preview->pageFacts()->text().contains(QStringLiteral("第 ")));
}

QTEST_MAIN(ShapeTest)
#include "shape_test.moc"
