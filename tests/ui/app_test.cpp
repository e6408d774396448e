// Start-up: the sockets failure path, the settings key name, the modal main window.
#include "ui/book_app.h"
#include "ui/page_list_dlg.h"
#include "ui/strings.h"
#include "ui_test_support.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <sstream>

using namespace folio::ui;
using namespace folio::ui::test;

class AppTest : public QObject {
    Q_OBJECT
  private slots:
    void failedSocketsShowString103AndNoWindow();
    void runsTheMainWindowModally();
    void commandLineFilesLeftOutGoToStderr();
};

void AppTest::failedSocketsShowString103AndNoWindow() {
    FakeBoxes boxes;
    bool windowMade = false;
    CBookApp::Options o;
    o.boxes = &boxes;
    o.startSockets = [] { return false; };
    o.onMainWindow = [&](CPageListDlg&) { windowMade = true; };
    CBookApp app(o);
    const int rc = app.InitInstance({});
    QVERIFY(rc != 0);
    QCOMPARE(boxes.calls.size(), std::size_t(1));
    QCOMPARE(boxes.calls[0].text, QStringLiteral("Windows 套接字初始化失败。"));
    QVERIFY(!windowMade);
    for (QWidget* w : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<CPageListDlg*>(w));
}

void AppTest::runsTheMainWindowModally() {
    QVERIFY(startSockets());
    FakeBoxes boxes;
    bool wasModal = false;
    int rows = -1;
    CBookApp::Options o;
    o.boxes = &boxes;
    o.onMainWindow = [&](CPageListDlg& dlg) {
        QTimer::singleShot(0, &dlg, [&] {
            wasModal = dlg.isModal() && dlg.isVisible();
            rows = dlg.pages().rowCount();
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
    };
    CBookApp app(o);
    QCOMPARE(app.InitInstance({}), 0);
    QVERIFY(wasModal);
    QCOMPARE(rows, 0);
    QVERIFY(boxes.calls.empty());
    QCOMPARE(QCoreApplication::organizationName(), kRegistryKey);
}

void AppTest::commandLineFilesLeftOutGoToStderr() {
    QTemporaryDir dir;
    const std::string good = writePicture(dir, QStringLiteral("good.png"), 4, 4);
    const std::string txt = toNative(dir.filePath(QStringLiteral("notes.txt")));
    FakeBoxes boxes;
    std::ostringstream err;
    int rows = -1;
    CBookApp::Options o;
    o.boxes = &boxes;
    o.err = &err;
    o.onMainWindow = [&](CPageListDlg& dlg) {
        QTimer::singleShot(0, &dlg, [&] {
            rows = dlg.pages().rowCount();
            dlg.reject();
        });
    };
    CBookApp app(o);
    QCOMPARE(app.InitInstance({txt, good}), 0);
    QCOMPARE(rows, 1);
    QCOMPARE(err.str(), "folioforge: skipped " + txt + ": not an image file name\n");
    QVERIFY(boxes.calls.empty());
}

QTEST_MAIN(AppTest)
#include "app_test.moc"
