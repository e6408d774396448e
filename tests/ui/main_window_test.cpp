// The main window: start state, sliders, the nine buttons, adding pages, MAKE, ending.
#include "cli/cli.h"
#include "ui/page_list_dlg.h"
#include "ui/strings.h"
#include "ui/templates.h"
#include "ui_test_support.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTableWidget>
#include <QTest>

#include <cstring>
#include <sstream>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {
const QString kOverwrite = QStringLiteral("文件已经存在，要覆盖吗？");
const QString kSuccess = QStringLiteral("文件制造成功!");

// Four pages A..D in the list, from files the test writes.
struct FourPages {
    QTemporaryDir dir;
    MainWindowRig rig;
    FourPages() {
        std::vector<std::string> files;
        for (const char* n : {"A.png", "B.png", "C.png", "D.png"})
            files.push_back(writePicture(dir, QString::fromLatin1(n), 8, 6));
        rig.chooser.next = files;
        clickButton(rig.dlg, 1005);
    }
    QString order() const { return modelColumn(rig.dlg, kCellFileName).join(QString()); }
};

QString letters(const QStringList& names) {
    QString out;
    for (const QString& n : names)
        out += n.left(1);
    return out;
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void startState();
    void sliderLabels_data();
    void sliderLabels();
    void listLooksAsItShould();
    void addPagesThroughChooser();
    void addPagesCancelled();
    void commandsOnSelectedRows_data();
    void commandsOnSelectedRows();
    void toggleGrayKeepsSelection();
    void viewShowsOnlyTheListSelection();
    void makeAsksBeforeOverwriting();
    void makeWritesAndReportsSkippedRows();
    void makeReadsFieldsAndSliders();
    void enterInTitleRunsMake();
    void exitEscapeAndClose_data();
    void exitEscapeAndClose();
    void aboutItem();
    void commandLineFiles();
    void windowOrderIsMakeOrder_data();
    void windowOrderIsMakeOrder();
    void commandKeysRunTheButtons_data();
    void commandKeysRunTheButtons();
    void deleteInAnEditFieldEdits();
    void filesLeftOutAreTold();
    void dropFilesAndFolder();
    void dropOfOtherThingsIsIgnored_data();
    void dropOfOtherThingsIsIgnored();
};

void MainWindowTest::startState() {
    MainWindowRig rig;
    CPageListDlg& d = rig.dlg;
    QCOMPARE(d.pages().rowCount(), 0);
    QCOMPARE(d.m_list->rowCount(), 0);
    QVERIFY(d.m_editTitle->text().isEmpty());
    QVERIFY(d.m_editAuthor->text().isEmpty());
    QVERIFY(d.m_editFileName->text().isEmpty());
    QCOMPARE(d.m_sliderGray->value(), 50);
    QCOMPARE(d.m_sliderColor->value(), 80);
    QCOMPARE(d.m_sliderGray->minimum(), 0);
    QCOMPARE(d.m_sliderGray->maximum(), 100);
    QCOMPARE(d.m_sliderColor->maximum(), 100);
    QCOMPARE(d.m_labelGray->text(), QStringLiteral("灰色品质(50):"));
    QCOMPARE(d.m_labelColor->text(), QStringLiteral("彩色品质(80):"));
    QCOMPARE(d.focusWidget(), controlById(d, 1));
    QVERIFY(d.preview() == nullptr);
    QCOMPARE(d.windowTitle(), QStringLiteral("Folioforge0.8  by the Folioforge developers"));
    QVERIFY(!d.windowIcon().isNull());
    QVERIFY(!(d.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(d.windowFlags() & Qt::WindowMinimizeButtonHint));
    QCOMPARE(d.minimumSize(), d.maximumSize()); // no sizing border
}

void MainWindowTest::sliderLabels_data() {
    QTest::addColumn<bool>("gray");
    QTest::addColumn<int>("value");
    for (int v : {0, 100, 37}) {
        QTest::addRow("gray %d", v) << true << v;
        QTest::addRow("color %d", v) << false << v;
    }
}

void MainWindowTest::sliderLabels() {
    QFETCH(bool, gray);
    QFETCH(int, value);
    MainWindowRig rig;
    CPageListDlg& d = rig.dlg;
    QSlider* moved = gray ? d.m_sliderGray : d.m_sliderColor;
    QLabel* label = gray ? d.m_labelGray : d.m_labelColor;
    QLabel* other = gray ? d.m_labelColor : d.m_labelGray;
    const QString otherBefore = other->text();
    moved->setFocus();
    // The user's way: keys to the ends, then the value itself for the middle.
    if (value == 0)
        QTest::keyClick(moved, Qt::Key_Home);
    else if (value == 100)
        QTest::keyClick(moved, Qt::Key_End);
    else
        moved->setValue(value);
    QCOMPARE(moved->value(), value);
    QCOMPARE(label->text(), gray ? grayQualityText(value) : colorQualityText(value));
    QCOMPARE(other->text(), otherBefore);
}

void MainWindowTest::listLooksAsItShould() {
    MainWindowRig rig;
    QTableWidget* list = rig.dlg.m_list;
    const char* headers[] = {"文件名", "分辨率", "尺寸", "黑白", "路径"};
    const int widths[] = {100, 100, 100, 50, 400};
    QCOMPARE(list->columnCount(), 5);
    for (int c = 0; c < 5; ++c) {
        QCOMPARE(list->horizontalHeaderItem(c)->text(), QString::fromUtf8(headers[c]));
        QCOMPARE(list->columnWidth(c), widths[c]);
    }
    QVERIFY(list->showGrid());
    QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(!list->isSortingEnabled());
}

void MainWindowTest::addPagesThroughChooser() {
    QTemporaryDir dir;
    MainWindowRig rig;
    const std::string p10 = writePicture(dir, QStringLiteral("page10.png"), 30, 20);
    const std::string p2 = writePicture(dir, QStringLiteral("page2.bmp"), 40, 10, "BMP");
    const std::string txt = toNative(dir.filePath(QStringLiteral("notes.txt")));
    QFile(fromNative(txt)).open(QIODevice::WriteOnly);
    const std::string broken = toNative(dir.filePath(QStringLiteral("broken.png")));
    {
        QFile f(fromNative(broken));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a picture");
    }
    const std::string missing = toNative(dir.filePath(QStringLiteral("gone.png")));
    rig.chooser.next = std::vector<std::string>{p10, txt, broken, missing, p2};

    clickButton(rig.dlg, 1005);
    QCOMPARE(rig.chooser.calls, 1);
    QCOMPARE(rig.chooser.title, std::string(kChooserTitle));
    QCOMPARE(rig.chooser.filter, std::string(kChooserFilter));
    // Natural order, the unusable files left out without a message.
    QCOMPARE(modelColumn(rig.dlg, kCellFileName),
             QStringList({QStringLiteral("page2.bmp"), QStringLiteral("page10.png")}));
    QCOMPARE(modelColumn(rig.dlg, kCellResolution),
             QStringList({QStringLiteral("40x10x24"), QStringLiteral("30x20x24")}));
    QCOMPARE(modelColumn(rig.dlg, kCellGrayFlag),
             QStringList({QStringLiteral("Yes"), QStringLiteral("Yes")}));
    QCOMPARE(modelColumn(rig.dlg, kCellPath), QStringList({fromNative(p2), fromNative(p10)}));
    QVERIFY(rig.boxes.calls.empty());
    for (int c = 0; c < kCellCount; ++c)
        QCOMPARE(viewColumn(rig.dlg, c), modelColumn(rig.dlg, c));
    QVERIFY(viewSelection(rig.dlg).empty());

    // A second add appends after the rows already there and keeps their selection.
    selectRows(rig.dlg, {1});
    rig.chooser.next = std::vector<std::string>{p2};
    clickButton(rig.dlg, 1005);
    QCOMPARE(rig.dlg.pages().rowCount(), 3);
    QCOMPARE(viewColumn(rig.dlg, kCellFileName).last(), QStringLiteral("page2.bmp"));
    QCOMPARE(modelSelection(rig.dlg), std::vector<int>{1});
    QCOMPARE(viewSelection(rig.dlg), std::vector<int>{1});
}

void MainWindowTest::addPagesCancelled() {
    MainWindowRig rig;
    rig.chooser.next = std::nullopt;
    clickButton(rig.dlg, 1005);
    QCOMPARE(rig.chooser.calls, 1);
    QCOMPARE(rig.dlg.pages().rowCount(), 0);
    QCOMPARE(rig.dlg.m_list->rowCount(), 0);
}

void MainWindowTest::commandsOnSelectedRows_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QString>("after");
    QTest::newRow("DEL A,C") << 1010 << QList<int>{0, 2} << QStringLiteral("BD");
    QTest::newRow("DEL all") << 1010 << QList<int>{0, 1, 2, 3} << QString();
    QTest::newRow("TOP B,D") << 1006 << QList<int>{1, 3} << QStringLiteral("BDAC");
    QTest::newRow("BOTTOM A,C") << 1008 << QList<int>{0, 2} << QStringLiteral("BDAC");
    QTest::newRow("UP B,C") << 1007 << QList<int>{1, 2} << QStringLiteral("BCAD");
    QTest::newRow("UP all") << 1007 << QList<int>{0, 1, 2, 3} << QStringLiteral("BCDA");
    QTest::newRow("DOWN A,C") << 1009 << QList<int>{0, 2} << QStringLiteral("BADC");
    QTest::newRow("DOWN all") << 1009 << QList<int>{0, 1, 2, 3} << QStringLiteral("DABC");
    QTest::newRow("none selected") << 1006 << QList<int>{} << QStringLiteral("ABCD");
}

void MainWindowTest::commandsOnSelectedRows() {
    QFETCH(int, button);
    QFETCH(QList<int>, selected);
    QFETCH(QString, after);
    FourPages f;
    CPageListDlg& d = f.rig.dlg;
    QCOMPARE(letters(modelColumn(d, kCellFileName)), QStringLiteral("ABCD"));
    selectRows(d, std::vector<int>(selected.begin(), selected.end()));
    QCOMPARE(modelSelection(d), std::vector<int>(selected.begin(), selected.end()));

    clickButton(d, button);
    QCOMPARE(letters(modelColumn(d, kCellFileName)), after);
    for (int c = 0; c < kCellCount; ++c)
        QCOMPARE(viewColumn(d, c), modelColumn(d, c));
    // Every selected row was removed or re-inserted: nothing stays selected.
    QVERIFY(modelSelection(d).empty());
    QVERIFY(viewSelection(d).empty());
}

void MainWindowTest::toggleGrayKeepsSelection() {
    FourPages f;
    CPageListDlg& d = f.rig.dlg;
    selectRows(d, {1, 3});
    clickButton(d, 1011);
    const QStringList expected = {QStringLiteral("Yes"), QStringLiteral("No"),
                                  QStringLiteral("Yes"), QStringLiteral("No")};
    QCOMPARE(modelColumn(d, kCellGrayFlag), expected);
    QCOMPARE(viewColumn(d, kCellGrayFlag), expected);
    QCOMPARE(modelSelection(d), (std::vector<int>{1, 3}));
    QCOMPARE(viewSelection(d), (std::vector<int>{1, 3}));
    clickButton(d, 1011);
    QCOMPARE(modelColumn(d, kCellGrayFlag), QStringList(4, QStringLiteral("Yes")));
}

void MainWindowTest::viewShowsOnlyTheListSelection() {
    FourPages f;
    CPageListDlg& d = f.rig.dlg;
    clickRow(d, 2);
    QCOMPARE(modelSelection(d), std::vector<int>{2});
    clickRow(d, 0, Qt::ShiftModifier);
    QCOMPARE(modelSelection(d), (std::vector<int>{0, 1, 2}));
    clickRow(d, 1, Qt::ControlModifier);
    QCOMPARE(modelSelection(d), (std::vector<int>{0, 2}));
    QCOMPARE(viewSelection(d), (std::vector<int>{0, 2}));
    // Moving the keyboard focus only changes the current row, never the list's flags.
    clickButton(d, 1006); // MOVE TOP: A C B D
    QCOMPARE(letters(modelColumn(d, kCellFileName)), QStringLiteral("ACBD"));
    QVERIFY(viewSelection(d).empty());
    QVERIFY(modelSelection(d).empty());
}

void MainWindowTest::makeAsksBeforeOverwriting() {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("old.QFB"));
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier book");
    }
    int progressMade = 0;
    UiServices s;
    s.makeProgress = [&](QWidget*) {
        ++progressMade;
        return std::make_unique<NullProgress>();
    };
    MainWindowRig rig(s);
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("old")));
    rig.boxes.answer = false;
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QCOMPARE(rig.boxes.calls[0].kind, QStringLiteral("question"));
    QCOMPARE(rig.boxes.calls[0].text, kOverwrite);
    QFile f(target);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("earlier book"));
    f.close();

    rig.boxes.calls.clear();
    rig.boxes.answer = true;
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(2));
    QCOMPARE(rig.boxes.calls[1].kind, QStringLiteral("information"));
    QCOMPARE(rig.boxes.calls[1].text, kSuccess);
    // The details name the book and its size; no page was skipped.
    QCOMPARE(rig.boxes.calls[1].details,
             QStringLiteral("文件: %1.QFB\n大小: 4216 字节 (4KB)")
                 .arg(QFileInfo(dir.filePath(QStringLiteral("old"))).absoluteFilePath()));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.size(), qint64(4216)); // the header of an empty book replaced the old file
}

void MainWindowTest::makeWritesAndReportsSkippedRows() {
    FourPages f;
    CPageListDlg& d = f.rig.dlg;
    // Row C's file is gone by the time the book is made.
    QVERIFY(QFile::remove(fromNative(d.pages().cellText(2, kCellPath))));
    const QString target = f.dir.filePath(QStringLiteral("book.qfb"));
    d.m_editFileName->setText(target);
    clickButton(d, 1);
    QCOMPARE(f.rig.boxes.calls.size(), std::size_t(1));
    const BoxCall& call = f.rig.boxes.calls[0];
    QCOMPARE(call.kind, QStringLiteral("information"));
    QCOMPARE(call.text, kSuccess);
    const QStringList lines = call.details.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QFile book(target); // the typed name already ends in .qfb
    QVERIFY(book.open(QIODevice::ReadOnly));
    QVERIFY(book.size() > 4216);
    QCOMPARE(lines[0], QStringLiteral("文件: ") + QFileInfo(target).absoluteFilePath());
    QCOMPARE(lines[1],
             QStringLiteral("大小: %1 字节 (%2KB)").arg(book.size()).arg(book.size() / 1024));
    QCOMPARE(lines[2], QStringLiteral("跳过的页 (1):"));
    QVERIFY2(
        lines[3].startsWith(fromNative(d.pages().cellText(2, kCellPath)) + QStringLiteral(": ")),
        qPrintable(lines[3]));
    // Making a book changes nothing in the list.
    QCOMPARE(letters(modelColumn(d, kCellFileName)), QStringLiteral("ABCD"));
}

void MainWindowTest::makeReadsFieldsAndSliders() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.m_editTitle->setText(QStringLiteral("书名"));
    rig.dlg.m_editAuthor->setText(QStringLiteral("作者"));
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("named")));
    clickButton(rig.dlg, 1);
    QFile book(dir.filePath(QStringLiteral("named.QFB")));
    QVERIFY(book.open(QIODevice::ReadOnly));
    const QByteArray bytes = book.readAll();
    // Title and author are stored in code page 936.
    QVERIFY(bytes.contains(QByteArray("\xca\xe9\xc3\xfb")));
    QVERIFY(bytes.contains(QByteArray("\xd7\xf7\xd5\xdf")));
}

void MainWindowTest::enterInTitleRunsMake() {
    QTemporaryDir dir;
    MainWindowRig rig;
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("enter")));
    rig.dlg.m_editTitle->setFocus();
    QTest::keyClick(rig.dlg.m_editTitle, Qt::Key_Return);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QCOMPARE(rig.boxes.calls[0].text, kSuccess);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("enter.QFB"))));
    QVERIFY(rig.dlg.isVisible());
}

void MainWindowTest::exitEscapeAndClose_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<bool>("withPreview");
    for (bool p : {false, true}) {
        QTest::addRow("EXIT%s", p ? " with preview" : "") << 0 << p;
        QTest::addRow("Escape%s", p ? " with preview" : "") << 1 << p;
        QTest::addRow("close%s", p ? " with preview" : "") << 2 << p;
    }
}

void MainWindowTest::exitEscapeAndClose() {
    QFETCH(int, how);
    QFETCH(bool, withPreview);
    MainWindowRig rig;
    QSignalSpy finished(&rig.dlg, &QDialog::finished);
    if (withPreview) {
        rig.dlg.OnDblclkList(-1);
        QVERIFY(rig.dlg.preview());
    }
    QPointer<CShowPicDlg> preview = rig.dlg.preview();
    if (how == 0) clickButton(rig.dlg, 2);
    if (how == 1) QTest::keyClick(rig.dlg.m_editAuthor, Qt::Key_Escape);
    if (how == 2) QVERIFY(rig.dlg.close());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(!rig.dlg.isVisible());
    QVERIFY(rig.dlg.preview() == nullptr);
    QVERIFY(preview.isNull());
    QVERIFY(rig.boxes.calls.empty());
}

void MainWindowTest::aboutItem() {
    MainWindowRig rig;
    QAction* about = rig.dlg.aboutAction();
    QVERIFY(about);
    QCOMPARE(about->text(), QStringLiteral("关于 Folioforge(&A)..."));
    QCOMPARE(about->shortcut(), QKeySequence(Qt::Key_F1));
    QVERIFY(rig.dlg.actions().contains(about));

    QString seen;
    closeNextModal([&](QWidget* w) { seen = w->windowTitle(); });
    about->trigger();
    QCOMPARE(seen, QStringLiteral("关于 Folioforge"));

    // Other system commands do nothing here.
    seen.clear();
    rig.dlg.OnSysCommand(0xF060);
    QVERIFY(seen.isEmpty());
    QVERIFY(rig.dlg.isVisible());

    // F1 in the main window.
    rig.dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.dlg));
    closeNextModal([&](QWidget* w) { seen = w->windowTitle(); });
    QTest::keyClick(rig.dlg.m_editTitle, Qt::Key_F1);
    QCOMPARE(seen, QStringLiteral("关于 Folioforge"));
    QVERIFY(rig.dlg.isVisible());
}

void MainWindowTest::commandLineFiles() {
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("scans"));
    QTemporaryDir& d = dir;
    const std::string a = writePicture(d, QStringLiteral("scans/p10.png"), 4, 4);
    const std::string b = writePicture(d, QStringLiteral("scans/p9.png"), 4, 4);
    const std::string c = writePicture(d, QStringLiteral("cover.png"), 4, 4);
    MainWindowRig rig;
    const auto skipped = rig.dlg.AddFiles({toNative(dir.filePath(QStringLiteral("scans"))), c,
                                           toNative(dir.filePath(QStringLiteral("x.txt")))});
    // The order given; the folder in natural order where it stands.
    QCOMPARE(modelColumn(rig.dlg, kCellFileName),
             QStringList({QStringLiteral("p9.png"), QStringLiteral("p10.png"),
                          QStringLiteral("cover.png")}));
    QCOMPARE(skipped.size(), std::size_t(1));
    QCOMPARE(viewColumn(rig.dlg, kCellPath), modelColumn(rig.dlg, kCellPath));
    Q_UNUSED(a);
    Q_UNUSED(b);
}

void MainWindowTest::windowOrderIsMakeOrder_data() {
    QTest::addColumn<bool>("drop");
    QTest::newRow("command line") << false;
    QTest::newRow("drop") << true;
}

// Files, two folders and a file: the window's rows, and so its book, are make's.
void MainWindowTest::windowOrderIsMakeOrder() {
    QFETCH(bool, drop);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("ch1"));
    QDir(dir.path()).mkpath(QStringLiteral("ch2"));
    // Sizes tell the pages apart in the books; names that sorting together would interleave.
    const char* const order[] = {"zcover.png",     "ch1/page1.png", "ch1/page2.png",
                                 "ch1/page10.png", "ch2/page1.png", "ch2/page2.png",
                                 "aback.png"};
    QStringList expected;
    int w = 20;
    for (const char* name : order) {
        expected << fromNative(writePicture(dir, QString::fromLatin1(name), w, 30));
        w += 3;
    }
    const std::vector<std::string> args = {toNative(dir.filePath(QStringLiteral("zcover.png"))),
                                           toNative(dir.filePath(QStringLiteral("ch1"))),
                                           toNative(dir.filePath(QStringLiteral("ch2"))),
                                           toNative(dir.filePath(QStringLiteral("aback.png")))};

    MainWindowRig rig;
    if (drop) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const std::string& a : args)
            urls << QUrl::fromLocalFile(fromNative(a));
        mime.setUrls(urls);
        QVERIFY(dropOnList(rig.dlg, mime));
    } else {
        QVERIFY(rig.dlg.AddFiles(args).empty());
    }
    QStringList paths;
    for (const QString& p : modelColumn(rig.dlg, kCellPath))
        paths << QDir::cleanPath(p);
    QCOMPARE(paths, expected);

    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("window")));
    clickButton(rig.dlg, 1);
    std::vector<std::string> make = {"make", "-q", "-o",
                                     toNative(dir.filePath(QStringLiteral("cli")))};
    make.insert(make.end(), args.begin(), args.end());
    std::ostringstream out, err;
    QCOMPARE(cli::run(make, out, err), 0);
    QFile a(dir.filePath(QStringLiteral("window.QFB"))), b(dir.filePath(QStringLiteral("cli.QFB")));
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    const QByteArray bookA = a.readAll();
    QVERIFY(bookA.size() > 4216);
    QVERIFY(bookA == b.readAll());
}

void MainWindowTest::commandKeysRunTheButtons_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QKeySequence>("key");
    QTest::addColumn<QString>("keyText");
    QTest::newRow("Delete") << 1010 << QKeySequence(Qt::Key_Delete) << QStringLiteral("Del");
    QTest::newRow("Ctrl+Up") << 1007 << QKeySequence(Qt::CTRL | Qt::Key_Up)
                             << QStringLiteral("Ctrl+Up");
    QTest::newRow("Ctrl+Down") << 1009 << QKeySequence(Qt::CTRL | Qt::Key_Down)
                               << QStringLiteral("Ctrl+Down");
    QTest::newRow("Ctrl+Home") << 1006 << QKeySequence(Qt::CTRL | Qt::Key_Home)
                               << QStringLiteral("Ctrl+Home");
    QTest::newRow("Ctrl+End") << 1008 << QKeySequence(Qt::CTRL | Qt::Key_End)
                              << QStringLiteral("Ctrl+End");
    QTest::newRow("Ctrl+G") << 1011 << QKeySequence(Qt::CTRL | Qt::Key_G)
                            << QStringLiteral("Ctrl+G");
    QTest::newRow("Ctrl+O") << 1005 << QKeySequence(Qt::CTRL | Qt::Key_O)
                            << QStringLiteral("Ctrl+O");
}

// Each key, pressed in the list, does exactly what its button does.
void MainWindowTest::commandKeysRunTheButtons() {
    QFETCH(int, button);
    QFETCH(QKeySequence, key);
    QFETCH(QString, keyText);
    FourPages byButton, byKey;
    for (FourPages* f : {&byButton, &byKey}) {
        f->rig.chooser.next =
            std::vector<std::string>{writePicture(f->dir, QStringLiteral("E.png"), 5, 5)};
        f->rig.dlg.m_list->setFocus();
        selectRows(f->rig.dlg, {1, 2});
    }
    clickButton(byButton.rig.dlg, button);
    auto* pressed = control<QPushButton>(byKey.rig.dlg, button);
    QSignalSpy clicked(pressed, &QPushButton::clicked);
    byKey.rig.dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&byKey.rig.dlg));
    QTest::keyClick(byKey.rig.dlg.m_list, key[0].key(), key[0].keyboardModifiers());
    QCOMPARE(clicked.count(), 1);
    for (int c = 0; c < kCellCount; ++c)
        if (c != kCellPath)
            QCOMPARE(modelColumn(byKey.rig.dlg, c), modelColumn(byButton.rig.dlg, c));
    QCOMPARE(modelSelection(byKey.rig.dlg), modelSelection(byButton.rig.dlg));
    QCOMPARE(byKey.rig.chooser.calls, byButton.rig.chooser.calls);
    QVERIFY2(pressed->toolTip().endsWith(QStringLiteral("(%1)").arg(keyText)),
             qPrintable(pressed->toolTip()));
    // The focus order is the template's: the keys add no stop of their own.
    QStringList stops;
    QWidget* w = control<QPushButton>(byKey.rig.dlg, 1);
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().startsWith(QLatin1String("qt_")))
            stops << w->objectName();
        w = w->nextInFocusChain();
    } while (w != control<QPushButton>(byKey.rig.dlg, 1));
    QCOMPARE(
        stops.join(QLatin1Char(' ')),
        QStringLiteral("1 2 1000 1001 1002 1003 1005 1006 1007 1008 1009 1010 1011 1016 1017"));
}

// In an edit field its own keys come first: Delete deletes a character, not the rows.
void MainWindowTest::deleteInAnEditFieldEdits() {
    FourPages f;
    f.rig.dlg.m_list->setFocus();
    selectRows(f.rig.dlg, {1});
    f.rig.dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f.rig.dlg));
    f.rig.dlg.m_editTitle->setText(QStringLiteral("ab"));
    f.rig.dlg.m_editTitle->setFocus();
    f.rig.dlg.m_editTitle->setCursorPosition(0);
    QTest::keyClick(f.rig.dlg.m_editTitle, Qt::Key_Delete);
    QCOMPARE(f.rig.dlg.m_editTitle->text(), QStringLiteral("b"));
    // Ctrl+Home and Ctrl+End are the field's too.
    QTest::keyClick(f.rig.dlg.m_editTitle, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(f.rig.dlg.m_editTitle, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(letters(modelColumn(f.rig.dlg, kCellFileName)), QStringLiteral("ABCD"));
    QCOMPARE(modelSelection(f.rig.dlg), std::vector<int>{1});
}

// What an add leaves out is told without a box: the list's tooltip, then the success details.
void MainWindowTest::filesLeftOutAreTold() {
    QTemporaryDir dir;
    MainWindowRig rig;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("empty")));
    const std::string good = writePicture(dir, QStringLiteral("good.png"), 4, 4);
    const std::string txt = toNative(dir.filePath(QStringLiteral("notes.txt")));
    rig.chooser.next = std::vector<std::string>{good, txt};
    clickButton(rig.dlg, 1005);
    rig.dlg.AddFiles({toNative(dir.filePath(QStringLiteral("empty")))});
    QVERIFY(rig.boxes.calls.empty());
    const QString tip = rig.dlg.m_list->toolTip();
    QVERIFY2(tip.startsWith(QStringLiteral("未加入 2 个文件:\n")), qPrintable(tip));
    QVERIFY(tip.contains(fromNative(txt) + QStringLiteral(": not an image file name")));
    QVERIFY(tip.contains(dir.filePath(QStringLiteral("empty")) +
                         QStringLiteral(": folder holds no image files")));

    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("book")));
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    const QString details = rig.boxes.calls[0].details;
    QVERIFY2(details.contains(QStringLiteral("\n添加时未加入的文件 (2):\n") + fromNative(txt)),
             qPrintable(details));
    // Told once: the next book's message and the tooltip start afresh.
    QVERIFY(rig.dlg.m_list->toolTip().isEmpty());
    QVERIFY(rig.dlg.notAdded().empty());
}

void MainWindowTest::dropFilesAndFolder() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("scans")));
    writePicture(dir, QStringLiteral("scans/p10.png"), 6, 4);
    writePicture(dir, QStringLiteral("scans/p9.bmp"), 5, 4, "BMP");
    QFile(dir.filePath(QStringLiteral("scans/readme.txt"))).open(QIODevice::WriteOnly);
    const std::string cover = writePicture(dir, QStringLiteral("cover.png"), 8, 3);
    const std::string back = writePicture(dir, QStringLiteral("back.png"), 3, 8);

    // The same files chosen through ADD FILE give the rows a drop must give.
    MainWindowRig viaChooser;
    viaChooser.chooser.next = std::vector<std::string>{
        cover, back, toNative(dir.filePath(QStringLiteral("scans/p10.png"))),
        toNative(dir.filePath(QStringLiteral("scans/p9.bmp")))};
    clickButton(viaChooser.dlg, 1005);

    MainWindowRig rig;
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(fromNative(back)), QUrl::fromLocalFile(fromNative(cover)),
                  QUrl::fromLocalFile(dir.filePath(QStringLiteral("scans")))});
    QVERIFY(dropOnList(rig.dlg, mime));
    QCOMPARE(modelColumn(rig.dlg, kCellFileName),
             QStringList({QStringLiteral("back.png"), QStringLiteral("cover.png"),
                          QStringLiteral("p9.bmp"), QStringLiteral("p10.png")}));
    for (int c = 0; c < kCellCount; ++c) {
        QCOMPARE(modelColumn(rig.dlg, c), modelColumn(viaChooser.dlg, c));
        QCOMPARE(viewColumn(rig.dlg, c), modelColumn(rig.dlg, c));
    }
    QCOMPARE(modelColumn(rig.dlg, kCellResolution).first(), QStringLiteral("3x8x24"));

    // A second drop appends after the rows already there.
    QMimeData again;
    again.setUrls({QUrl::fromLocalFile(fromNative(cover))});
    QVERIFY(dropOnList(rig.dlg, again));
    QCOMPARE(rig.dlg.pages().rowCount(), 5);
    QCOMPARE(modelColumn(rig.dlg, kCellFileName).last(), QStringLiteral("cover.png"));
    QVERIFY(rig.boxes.calls.empty());
}

void MainWindowTest::dropOfOtherThingsIsIgnored_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("text") << QStringLiteral("text");
    QTest::newRow("web address") << QStringLiteral("web");
    QTest::newRow("no mime data") << QStringLiteral("none");
}

void MainWindowTest::dropOfOtherThingsIsIgnored() {
    QFETCH(QString, kind);
    MainWindowRig rig;
    QMimeData mime;
    if (kind == QStringLiteral("text"))
        mime.setText(QStringLiteral("/tmp/page.png"));
    else if (kind == QStringLiteral("web"))
        mime.setUrls({QUrl(QStringLiteral("https://example.org/page.png"))});
    QVERIFY(!dropOnList(rig.dlg, mime));
    QCOMPARE(rig.dlg.pages().rowCount(), 0);
    QCOMPARE(rig.dlg.m_list->rowCount(), 0);
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
