// The preview: created on the first double-click, follows the list while shown, sizes its
// client area to the picture within the screen.
#include "ui/page_list_dlg.h"
#include "ui/show_pic_dlg.h"
#include "ui/templates.h"
#include "ui_test_support.h"

#include <QFile>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {
struct Pages {
    QTemporaryDir dir;
    MainWindowRig rig;
    explicit Pages(const std::vector<QSize>& sizes) {
        std::vector<std::string> files;
        int i = 0;
        for (QSize s : sizes)
            files.push_back(
                writePicture(dir, QStringLiteral("p%1.png").arg(i++), s.width(), s.height()));
        rig.dlg.AddFiles(files);
    }
    CPageListDlg& dlg() { return rig.dlg; }
};

// The picture shown, as an image.
QImage shown(const CShowPicDlg& p) {
    return p.picture()->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
}

bool showsPattern(const CShowPicDlg& p, QSize size) {
    const QImage img = shown(p);
    if (img.size() != size) return false;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            if ((img.pixel(x, y) & 0xffffff) != (patternColor(x, y) & 0xffffff)) return false;
    return true;
}
} // namespace

class PreviewTest : public QObject {
    Q_OBJECT
  private slots:
    void clientSizeArithmetic_data();
    void clientSizeArithmetic();
    void firstDoubleClickCreatesAndShows();
    void doubleClickOnNoRowShowsEmptyTemplate();
    void windowSizes_data();
    void windowSizes();
    void largerThanScreenScrolls();
    void followsRowsOnlyWhileVisible();
    void followsUpwardAndDownward_data();
    void followsUpwardAndDownward();
    void closeAndClickHide();
    void unloadableFileSaysSo();
    void goneAfterExit();
};

void PreviewTest::clientSizeArithmetic_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("avail");
    QTest::addColumn<QSize>("client");
    const QSize big(1000, 700);
    QTest::newRow("80x60") << QSize(80, 60) << big << QSize(100, 60);
    QTest::newRow("100 wide") << QSize(100, 30) << big << QSize(100, 30);
    QTest::newRow("101 wide") << QSize(101, 30) << big << QSize(101, 30);
    QTest::newRow("fits exactly") << QSize(1000, 700) << big << QSize(1000, 700);
    QTest::newRow("too wide") << QSize(1500, 100) << big << QSize(1000, 115);
    QTest::newRow("too high") << QSize(300, 900) << big << QSize(315, 700);
    QTest::newRow("too both") << QSize(3000, 3000) << big << QSize(1000, 700);
    QTest::newRow("too wide, bar no room") << QSize(1500, 695) << big << QSize(1000, 700);
}

void PreviewTest::clientSizeArithmetic() {
    QFETCH(QSize, picture);
    QFETCH(QSize, avail);
    QFETCH(QSize, client);
    QCOMPARE(previewClientSize(picture, avail, 15), client);
}

void PreviewTest::firstDoubleClickCreatesAndShows() {
    Pages pages({{40, 30}, {50, 20}});
    CPageListDlg& d = pages.dlg();
    QVERIFY(d.preview() == nullptr);
    doubleClickAt(d, rowCentre(d, 1));
    CShowPicDlg* p = d.preview();
    QVERIFY(p);
    QVERIFY(p->isVisible());
    QCOMPARE(p->windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(p->m_strPath, d.pages().cellText(1, kCellPath));
    QVERIFY(showsPattern(*p, QSize(50, 20)));
    // At the top-left corner of the main window's client area.
    QCOMPARE(p->frameGeometry().topLeft(), d.mapToGlobal(QPoint(0, 0)));
    // The same object on the next double-click.
    doubleClickAt(d, rowCentre(d, 0));
    QCOMPARE(d.preview(), p);
    QVERIFY(showsPattern(*p, QSize(40, 30)));
    QCOMPARE(p->size(), QSize(100, 30));
}

void PreviewTest::doubleClickOnNoRowShowsEmptyTemplate() {
    Pages pages({{40, 30}});
    CPageListDlg& d = pages.dlg();
    const QPoint below(5, d.m_list->viewport()->height() - 3);
    QCOMPARE(d.m_list->rowAt(below.y()), -1);
    doubleClickAt(d, below);
    CShowPicDlg* p = d.preview();
    QVERIFY(p);
    QVERIFY(p->isVisible());
    QVERIFY(p->m_strPath.empty());
    QVERIFY(!p->hasPicture());
    QDialog templ;
    buildDialog(templ, dialogTemplate(kIddPreview));
    QCOMPARE(p->size(), templ.size());
}

void PreviewTest::windowSizes_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("client");
    QTest::newRow("80x60") << QSize(80, 60) << QSize(100, 60);
    QTest::newRow("100x40") << QSize(100, 40) << QSize(100, 40);
    QTest::newRow("101x40") << QSize(101, 40) << QSize(101, 40);
    QTest::newRow("300x200") << QSize(300, 200) << QSize(300, 200);
}

void PreviewTest::windowSizes() {
    QFETCH(QSize, picture);
    QFETCH(QSize, client);
    Pages pages({picture});
    CPageListDlg& d = pages.dlg();
    d.OnDblclkList(0);
    CShowPicDlg* p = d.preview();
    QVERIFY(p);
    QCOMPARE(p->size(), client);
    QCOMPARE(p->scrollArea()->geometry(), QRect(QPoint(0, 0), client));
    QCOMPARE(p->picture()->geometry(), QRect(QPoint(0, 0), picture)); // at the left, unscaled
    QVERIFY(showsPattern(*p, picture));
    QVERIFY(!p->scrollArea()->horizontalScrollBar()->isVisible());
    QVERIFY(!p->scrollArea()->verticalScrollBar()->isVisible());
}

void PreviewTest::largerThanScreenScrolls() {
    Pages pages({{30, 30}});
    CPageListDlg& d = pages.dlg();
    const QRect avail = d.screen()->availableGeometry();
    const QSize huge(avail.width() + 300, avail.height() + 200);
    const std::string path =
        writePicture(pages.dir, QStringLiteral("huge.png"), huge.width(), huge.height());
    d.AddFiles({path});
    d.OnDblclkList(1);
    CShowPicDlg* p = d.preview();
    QVERIFY(p);
    QVERIFY(p->width() <= avail.width());
    QVERIFY(p->height() <= avail.height());
    QVERIFY(p->frameGeometry().width() <= avail.width());
    QVERIFY(p->frameGeometry().height() <= avail.height());
    QVERIFY(p->width() > avail.width() / 2);
    // Placed at the main window's corner, but moved back so none of it is off the screen.
    QTRY_VERIFY(avail.contains(p->frameGeometry()));
    QCOMPARE(p->picture()->size(), huge);
    QTRY_VERIFY(p->scrollArea()->horizontalScrollBar()->maximum() > 0);
    QTRY_VERIFY(p->scrollArea()->verticalScrollBar()->maximum() > 0);
    // Back to a small picture: the window shrinks and keeps its place.
    const QPoint place = p->pos();
    d.OnDblclkList(0);
    QCOMPARE(p->size(), QSize(100, 30));
    QCOMPARE(p->pos(), place);
}

void PreviewTest::followsRowsOnlyWhileVisible() {
    Pages pages({{40, 30}, {50, 20}, {60, 10}});
    CPageListDlg& d = pages.dlg();
    // No preview yet: changing rows creates none.
    clickRow(d, 1);
    QVERIFY(d.preview() == nullptr);

    doubleClickAt(d, rowCentre(d, 0));
    CShowPicDlg* p = d.preview();
    QVERIFY(showsPattern(*p, QSize(40, 30)));
    clickRow(d, 2); // a selection change follows
    QCOMPARE(p->m_strPath, d.pages().cellText(2, kCellPath));
    QVERIFY(showsPattern(*p, QSize(60, 10)));
    // A text change of a row (Color/Gray) follows too.
    selectRows(d, {1});
    clickButton(d, 1011);
    QCOMPARE(p->m_strPath, d.pages().cellText(1, kCellPath));

    p->hide();
    clickRow(d, 0);
    QCOMPARE(p->m_strPath, d.pages().cellText(1, kCellPath));
    QVERIFY(showsPattern(*p, QSize(50, 20)));
    QVERIFY(!p->isVisible());
    const QPoint place = p->pos();
    doubleClickAt(d, rowCentre(d, 2));
    QVERIFY(p->isVisible());
    QVERIFY(showsPattern(*p, QSize(60, 10)));
    QCOMPARE(p->pos(), place);
}

void PreviewTest::followsUpwardAndDownward_data() {
    QTest::addColumn<QString>("way");
    for (const char* way : {"click", "keys", "shift-click", "ctrl-click", "current row only"})
        QTest::newRow(way) << QString::fromLatin1(way);
}

// Whichever way the user goes to a row, above or below the one shown, the preview shows it.
void PreviewTest::followsUpwardAndDownward() {
    QFETCH(QString, way);
    const std::vector<QSize> sizes = {{40, 30}, {50, 20}, {60, 10}, {70, 25}, {80, 15}};
    Pages pages(sizes);
    CPageListDlg& d = pages.dlg();
    clickRow(d, 2); // the first press of a real double-click
    doubleClickAt(d, rowCentre(d, 2));
    CShowPicDlg* p = d.preview();
    QVERIFY(showsPattern(*p, sizes[2]));
    d.m_list->setFocus();
    int at = 2;
    for (int to : {4, 1, 0, 3, 2}) {
        if (way == QLatin1String("click")) {
            clickRow(d, to);
        } else if (way == QLatin1String("shift-click")) {
            clickRow(d, to, Qt::ShiftModifier);
        } else if (way == QLatin1String("ctrl-click")) {
            clickRow(d, to, Qt::ControlModifier);
        } else if (way == QLatin1String("current row only")) {
            d.m_list->setCurrentCell(to, 0, QItemSelectionModel::NoUpdate);
        } else {
            for (; at != to; at += to > at ? 1 : -1)
                QTest::keyClick(d.m_list, to > at ? Qt::Key_Down : Qt::Key_Up);
        }
        at = to;
        QCOMPARE(d.m_list->currentRow(), to);
        QVERIFY2(
            p->m_strPath == d.pages().cellText(to, kCellPath),
            qPrintable(QStringLiteral("to %1, shows %2").arg(to).arg(fromNative(p->m_strPath))));
        QVERIFY2(showsPattern(*p, sizes[static_cast<std::size_t>(to)]),
                 qPrintable(QString::number(to)));
    }
}

void PreviewTest::closeAndClickHide() {
    Pages pages({{40, 30}});
    CPageListDlg& d = pages.dlg();
    d.OnDblclkList(0);
    CShowPicDlg* p = d.preview();
    QVERIFY(p->isVisible());
    p->close();
    QVERIFY(!p->isVisible());
    QCOMPARE(d.preview(), p);

    d.OnDblclkList(0);
    QVERIFY(p->isVisible());
    QTest::mouseClick(p->picture(), Qt::LeftButton, {}, QPoint(3, 3));
    QVERIFY(!p->isVisible());

    d.OnDblclkList(0);
    QVERIFY(p->isVisible());
    // Beside the picture, on the plain surface.
    QTest::mouseClick(p->scrollArea()->viewport(), Qt::LeftButton, {}, QPoint(80, 10));
    QVERIFY(!p->isVisible());
    d.OnDblclkList(0);
    QTest::mouseClick(p->picture(), Qt::RightButton, {}, QPoint(3, 3));
    QVERIFY(p->isVisible());
    QCOMPARE(d.preview(), p);
}

void PreviewTest::unloadableFileSaysSo() {
    Pages pages({{40, 30}});
    CPageListDlg& d = pages.dlg();
    QVERIFY(QFile::remove(fromNative(d.pages().cellText(0, kCellPath))));
    d.OnDblclkList(0);
    CShowPicDlg* p = d.preview();
    QVERIFY(p->isVisible());
    QVERIFY(!p->hasPicture());
    QVERIFY(p->picture()->text().contains(QStringLiteral("无法显示此文件")));
    QVERIFY(p->picture()->text().contains(QStringLiteral("p0.png")));
    QVERIFY(p->width() >= 100);
    QVERIFY(p->height() > 0);
}

void PreviewTest::goneAfterExit() {
    Pages pages({{40, 30}});
    CPageListDlg& d = pages.dlg();
    d.OnDblclkList(0);
    QPointer<CShowPicDlg> p = d.preview();
    p->hide();
    clickButton(d, 2);
    QVERIFY(p.isNull());
    QVERIFY(d.preview() == nullptr);
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
