// The progress window: centring, what it shows for each page, and its life within MAKE.
#include "ui/make_dlg.h"
#include "ui/page_list_dlg.h"
#include "ui/strings.h"
#include "ui/templates.h"
#include "ui_test_support.h"

#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTest>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {
struct Shown {
    QString heading, path, bar;
    bool visible = false;
    QPoint pos;
};

// The real progress window, watched after each of its operations.
class Watching final : public ProgressDisplay {
  public:
    explicit Watching(QWidget* main) : real(main) {}
    void StartProgress() override {
        ++starts;
        real.StartProgress();
        startedAt = real.window()->pos();
        startedSize = real.window()->frameGeometry().size();
        record();
    }
    void ShowCurrentPage(const std::string& path, int done, int total) override {
        real.ShowCurrentPage(path, done, total);
        record();
        Q_UNUSED(done);
        Q_UNUSED(total);
    }
    void HideProgress() override {
        real.HideProgress();
        hiddenBeforeMessage = real.window() && !real.window()->isVisible();
    }
    void DestroyProgress() override {
        real.DestroyProgress();
        destroyed = real.window() == nullptr;
    }
    void record() {
        CMakeDlg* w = real.window();
        log.push_back({w->heading()->text(), w->pageLine()->text(),
                       w->bar()->isVisible() ? w->bar()->text() : QString(), w->isVisible(),
                       w->pos()});
    }

    MakeProgress real;
    int starts = 0;
    QPoint startedAt;
    QSize startedSize;
    bool hiddenBeforeMessage = false;
    bool destroyed = false;
    std::vector<Shown> log;
};

// What MAKE is handed: lives for the command only, while the watcher outlives it.
class Forward final : public ProgressDisplay {
  public:
    explicit Forward(ProgressDisplay& to) : to_(to) {}
    void StartProgress() override { to_.StartProgress(); }
    void ShowCurrentPage(const std::string& p, int d, int t) override {
        to_.ShowCurrentPage(p, d, t);
    }
    void HideProgress() override { to_.HideProgress(); }
    void DestroyProgress() override { to_.DestroyProgress(); }

  private:
    ProgressDisplay& to_;
};

// Hands MAKE a watched progress window; the watcher is kept for the test to read.
struct WatchedServices {
    std::unique_ptr<Watching> watching;
    int commands = 0;
    UiServices services() {
        UiServices s;
        s.makeProgress = [this](QWidget* main) {
            ++commands;
            if (!watching) watching = std::make_unique<Watching>(main);
            return std::make_unique<Forward>(*watching);
        };
        return s;
    }
};
} // namespace

class ProgressTest : public QObject {
    Q_OBJECT
  private slots:
    void centring_data();
    void centring();
    void windowLooksAsItShould();
    void showsEachLoadedRowAndNoTypelessRow();
    void emptyListShowsHeadingOnly();
    void noWindowAfterNo();
    void pageCountGainsTheTimeLeft();
    void secondMakeTakesTheSessionsPages();
};

void ProgressTest::centring_data() {
    QTest::addColumn<QRect>("m"); // left, top, right, bottom as x, y, w, h fields
    QTest::addColumn<QRect>("p");
    QTest::addColumn<QPoint>("at");
    QTest::newRow("worked example")
        << QRect(100, 100, 800, 600) << QRect(0, 0, 301, 120) << QPoint(299, 290);
    QTest::newRow("odd negative difference truncates toward zero")
        << QRect(10, 10, 110, 20) << QRect(0, 0, 103, 13) << QPoint(9, 9);
    QTest::newRow("larger than main")
        << QRect(0, 0, 100, 100) << QRect(50, 50, 350, 151) << QPoint(-100, 0);
    QTest::newRow("off the screen edge stays off")
        << QRect(-500, -40, -100, 60) << QRect(0, 0, 301, 120) << QPoint(-451, -50);
}

void ProgressTest::centring() {
    QFETCH(QRect, m);
    QFETCH(QRect, p);
    QFETCH(QPoint, at);
    const WinRect mr{m.x(), m.y(), m.width(), m.height()};
    const WinRect pr{p.x(), p.y(), p.width(), p.height()};
    QCOMPARE(centredOver(mr, pr), at);
}

void ProgressTest::windowLooksAsItShould() {
    MainWindowRig rig;
    MakeProgress progress(&rig.dlg);
    QVERIFY(progress.window() == nullptr);
    progress.StartProgress();
    CMakeDlg* w = progress.window();
    QVERIFY(w);
    QVERIFY(w->isVisible());
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(w->parentWidget(), &rig.dlg);
    QCOMPARE(w->heading()->text(), QStringLiteral("正在处理:"));
    QVERIFY(w->pageLine()->text().isEmpty());
    QVERIFY(w->pageLine()->wordWrap());
    QVERIFY(w->pageLine()->alignment() & Qt::AlignHCenter);
    QCOMPARE(controlById(*w, 1020), w->heading());
    QCOMPARE(controlById(*w, 1021), w->pageLine());
    const QPoint expected = centredOver(outerRect(rig.dlg), {0, 0, w->width(), w->height()});
    QCOMPARE(w->pos(), expected);
    progress.ShowCurrentPage("/some/where/page 1.png", 3, 10);
    QCOMPARE(w->pageLine()->text(), QStringLiteral("/some/where/page 1.png"));
    QCOMPARE(w->bar()->value(), 3);
    QCOMPARE(w->bar()->maximum(), 10);
    // Three lines of the template's font fit the page line.
    QVERIFY(w->pageLine()->height() >= 3 * w->pageLine()->fontMetrics().height());
    // A long path is broken anywhere into the lines above the bar, its middle left out when
    // they cannot hold it; the file's name stays whole.
    const QString longPath = QStringLiteral("/home/someone/") + QString(60, QLatin1Char('x')) +
                             QStringLiteral("/扫描/") + QString(200, QLatin1Char('y')) +
                             QStringLiteral("/page0123.png");
    progress.ShowCurrentPage(toNative(longPath), 4, 10);
    const QStringList lines = w->pageLine()->text().split(QLatin1Char('\n'));
    QVERIFY(lines.size() >= 2 && lines.size() <= 3);
    QVERIFY(lines.first().startsWith(QStringLiteral("/home/someone/")));
    QVERIFY(lines.last().endsWith(QStringLiteral("/page0123.png")));
    QVERIFY(w->pageLine()->text().contains(QChar(0x2026)));
    for (const QString& l : lines)
        QVERIFY(w->pageLine()->fontMetrics().horizontalAdvance(l) <= w->pageLine()->width());
    QVERIFY(w->pageLine()->geometry().top() +
                lines.size() * w->pageLine()->fontMetrics().height() <=
            w->bar()->geometry().top());
    progress.HideProgress();
    QVERIFY(!w->isVisible());
    progress.DestroyProgress();
    QVERIFY(progress.window() == nullptr);
}

void ProgressTest::showsEachLoadedRowAndNoTypelessRow() {
    QTemporaryDir dir;
    WatchedServices ws;
    MainWindowRig rig(ws.services());
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(writePicture(dir, QStringLiteral("p%1.png").arg(i), 20, 30));
    rig.dlg.AddFiles(files);
    // A row whose path names no image type, and one whose file is gone.
    rig.dlg.pages().setCellText(1, kCellPath, toNative(dir.filePath(QStringLiteral("readme"))));
    QVERIFY(QFile::remove(fromNative(files[2])));
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("b")));

    bool hiddenDuringMessage = false;
    bool existsDuringMessage = false;
    rig.boxes.onBox = [&] {
        existsDuringMessage = ws.watching && ws.watching->real.window() != nullptr;
        hiddenDuringMessage = existsDuringMessage && !ws.watching->real.window()->isVisible();
    };
    clickButton(rig.dlg, 1);
    QVERIFY(ws.watching);
    QCOMPARE(ws.watching->starts, 1);
    // Start, then rows 0 and 2: the typeless row 1 is never shown.
    QCOMPARE(ws.watching->log.size(), std::size_t(3));
    QCOMPARE(ws.watching->log[0].heading, QStringLiteral("正在处理:"));
    QVERIFY(ws.watching->log[0].path.isEmpty());
    QCOMPARE(ws.watching->log[1].path, fromNative(files[0]));
    QCOMPARE(ws.watching->log[2].path, fromNative(files[2]));
    QCOMPARE(ws.watching->log[1].bar, QStringLiteral("0 / 3"));
    QCOMPARE(ws.watching->log[2].bar, QStringLiteral("1 / 3"));
    for (const Shown& sh : ws.watching->log)
        QVERIFY(sh.visible);
    QVERIFY(ws.watching->hiddenBeforeMessage);
    QVERIFY(existsDuringMessage);
    QVERIFY(hiddenDuringMessage);
    QVERIFY(ws.watching->destroyed);
    const QPoint expected = centredOver(outerRect(rig.dlg), {0, 0, ws.watching->startedSize.width(),
                                                             ws.watching->startedSize.height()});
    QCOMPARE(ws.watching->startedAt, expected);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QVERIFY2(rig.boxes.calls[0].details.contains(QStringLiteral("\n跳过的页 (2):\n")),
             qPrintable(rig.boxes.calls[0].details));
}

void ProgressTest::emptyListShowsHeadingOnly() {
    QTemporaryDir dir;
    WatchedServices ws;
    MainWindowRig rig(ws.services());
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("empty")));
    clickButton(rig.dlg, 1);
    QVERIFY(ws.watching);
    QCOMPARE(ws.watching->log.size(), std::size_t(1));
    QVERIFY(ws.watching->log[0].path.isEmpty());
    QVERIFY(ws.watching->hiddenBeforeMessage);
    QVERIFY(ws.watching->destroyed);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QCOMPARE(rig.boxes.calls[0].text, QStringLiteral("文件制造成功!"));
}

void ProgressTest::noWindowAfterNo() {
    QTemporaryDir dir;
    WatchedServices ws;
    MainWindowRig rig(ws.services());
    const QString target = dir.filePath(QStringLiteral("x.QFB"));
    QFile f(target);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    rig.dlg.m_editFileName->setText(target);
    rig.boxes.answer = false;
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.boxes.calls.size(), std::size_t(1));
    QCOMPARE(ws.commands, 1);
    QVERIFY(!ws.watching || ws.watching->starts == 0);
    QVERIFY(rig.dlg.findChildren<CMakeDlg*>().isEmpty());
}

void ProgressTest::pageCountGainsTheTimeLeft() {
    MainWindowRig rig;
    MakeProgress progress(&rig.dlg);
    Pace::Clock::time_point now = Pace::Clock::now();
    progress.setClock([&] { return now; });
    progress.StartProgress();
    QProgressBar* bar = progress.window()->bar();
    now += std::chrono::seconds(5);
    progress.ShowCurrentPage("/p/3.png", 2, 10); // two pages tell too little
    QCOMPARE(bar->text(), QStringLiteral("2 / 10"));
    now += std::chrono::seconds(3);
    progress.ShowCurrentPage("/p/5.png", 4, 10); // half a page a second, six to go
    QCOMPARE(bar->text(), QStringLiteral("4 / 10  剩余 0:12"));
    progress.DestroyProgress();
}

void ProgressTest::secondMakeTakesTheSessionsPages() {
    QTemporaryDir dir;
    WatchedServices ws;
    MainWindowRig rig(ws.services());
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
        files.push_back(writePicture(dir, QStringLiteral("p%1.png").arg(i), 40 + i, 30));
        // Files as a user has them, not written this instant.
        QFile f(fromNative(files.back()));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
    }
    rig.dlg.AddFiles(files);
    rig.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("b")));
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.dlg.pageCache().pages(), std::size_t(3));
    selectRows(rig.dlg, {1});
    clickButton(rig.dlg, 1010);
    ws.watching->log.clear();
    clickButton(rig.dlg, 1); // answers Yes to overwriting
    QCOMPARE(rig.dlg.pageCache().hits(), std::size_t(2));
    QCOMPARE(rig.dlg.pageCache().misses(), std::size_t(3));
    // Each page is still named as it is written.
    QCOMPARE(ws.watching->log.size(), std::size_t(3));
    QCOMPARE(ws.watching->log[1].path, fromNative(files[0]));
    QCOMPARE(ws.watching->log[2].path, fromNative(files[2]));

    // The book a new session makes of the two pages.
    MainWindowRig other;
    other.dlg.AddFiles({files[0], files[2]});
    other.dlg.m_editFileName->setText(dir.filePath(QStringLiteral("fresh")));
    clickButton(other.dlg, 1);
    QFile made(dir.filePath(QStringLiteral("b.QFB"))),
        fresh(dir.filePath(QStringLiteral("fresh.QFB")));
    QVERIFY(made.open(QIODevice::ReadOnly));
    QVERIFY(fresh.open(QIODevice::ReadOnly));
    QCOMPARE(made.readAll(), fresh.readAll());

    // Both pages are gray: a new gray quality makes them again.
    rig.dlg.m_sliderGray->setValue(30);
    clickButton(rig.dlg, 1);
    QCOMPARE(rig.dlg.pageCache().misses(), std::size_t(5));
}

QTEST_MAIN(ProgressTest)
#include "progress_test.moc"
