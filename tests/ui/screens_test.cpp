// Screenshots of the windows on a real X server, for a person to look at. Skipped unless
// FOLIO_SCREENSHOT_DIR names the directory to write them to.
#include "ui/make_dlg.h"
#include "ui/page_list_dlg.h"
#include "ui/services.h"
#include "ui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {
QString shotDir() {
    return qEnvironmentVariable("FOLIO_SCREENSHOT_DIR");
}

QString shotPath(const QString& name) {
    return QDir(shotDir()).filePath(name + QStringLiteral(".png"));
}

bool shoot(const QString& name) {
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    return screen.save(shotPath(name));
}

// Another X client takes the screen: it sees only what this one has really sent.
bool shootFromOutside(const QString& name) {
    QProcess grab;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("FOLIO_GRAB_TO"), shotPath(name));
    grab.setProcessEnvironment(env);
    grab.start(QCoreApplication::applicationFilePath(), {});
    return grab.waitForFinished(20000) && grab.exitCode() == 0;
}

// The real progress window; the screen is taken while page `at` is shown.
class ShootingProgress final : public ProgressDisplay {
  public:
    ShootingProgress(QWidget* main, int at) : real_(main), at_(at) {}
    void StartProgress() override { real_.StartProgress(); }
    void ShowCurrentPage(const std::string& p, int done, int total) override {
        real_.ShowCurrentPage(p, done, total);
        if (++shown_ == at_ && !shootFromOutside(QStringLiteral("progress")))
            qWarning("no progress shot");
    }
    void HideProgress() override { real_.HideProgress(); }
    void DestroyProgress() override { real_.DestroyProgress(); }

  private:
    MakeProgress real_;
    int at_;
    int shown_ = 0;
};
} // namespace

class ScreensTest : public QObject {
    Q_OBJECT
  private slots:
    void windows();
};

void ScreensTest::windows() {
    if (shotDir().isEmpty()) QSKIP("FOLIO_SCREENSHOT_DIR not set");
    if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
        QSKIP("needs a real display");
    QTemporaryDir dir;
    std::vector<std::string> files;
    for (int i = 1; i <= 50; ++i) {
        QImage page(900, 1200, QImage::Format_RGB888);
        page.fill(QColor::fromHsv((i * 37) % 360, 60, 250));
        QPainter p(&page);
        QFont f = p.font();
        f.setPointSize(120);
        p.setFont(f);
        p.drawText(page.rect(), Qt::AlignCenter, QStringLiteral("第%1页").arg(i));
        p.end();
        const QString path = dir.filePath(QStringLiteral("页面%1.png").arg(i));
        QVERIFY(page.save(path));
        files.push_back(toNative(path));
    }

    QtMessageBoxes boxes;
    FakeChooser chooser;
    chooser.next = files;
    UiServices s;
    s.boxes = &boxes;
    s.chooser = &chooser;
    s.makeProgress = [](QWidget* main) { return std::make_unique<ShootingProgress>(main, 25); };
    CPageListDlg dlg(s);
    dlg.move(40, 30);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.m_editTitle->setText(QStringLiteral("测试书名"));
    dlg.m_editAuthor->setText(QStringLiteral("佚名"));
    dlg.m_editFileName->setText(dir.filePath(QStringLiteral("书")));
    clickButton(dlg, 1005);
    QCOMPARE(dlg.pages().rowCount(), 50);
    dlg.m_list->setFocus();
    selectRows(dlg, {1, 3, 4});
    clickButton(dlg, 1011);
    dlg.m_list->setFocus();
    QTest::qWait(300);
    QVERIFY(shoot(QStringLiteral("main")));

    doubleClickAt(dlg, rowCentre(dlg, 2));
    QVERIFY(QTest::qWaitForWindowExposed(dlg.preview()));
    QTest::qWait(300);
    QVERIFY(shoot(QStringLiteral("preview")));
    dlg.preview()->hide();
    QTest::qWait(200);

    // Shoots the next modal window once it is up, as name, then presses its button `press`
    // (the default when empty), after opening its details when asked to.
    const auto shootModal = [](const QString& name, bool& shot, const QString& press = {},
                               bool details = false) {
        auto step = std::make_shared<std::function<void()>>();
        *step = [=, &shot] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) {
                QTimer::singleShot(50, *step);
                return;
            }
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box && details)
                for (QAbstractButton* b : box->buttons())
                    if (box->buttonRole(b) == QMessageBox::ActionRole) b->click();
            QTimer::singleShot(300, modal, [=, &shot] {
                shot = shoot(name);
                if (box && !press.isEmpty()) {
                    for (QAbstractButton* b : box->buttons())
                        if (b->text().remove(QLatin1Char('&')) == press) b->click();
                } else if (auto* d = qobject_cast<QDialog*>(modal)) {
                    d->accept();
                }
            });
        };
        QTimer::singleShot(0, *step);
    };

    bool aboutShot = false;
    shootModal(QStringLiteral("about"), aboutShot);
    dlg.OnSysCommand(16);
    QVERIFY(aboutShot);

    bool messageShot = false;
    shootModal(QStringLiteral("success"), messageShot, {}, true);
    clickButton(dlg, 1);
    QVERIFY(messageShot);

    // Again: the book is there, so the overwrite question comes first.
    bool questionShot = false, secondShot = false;
    shootModal(QStringLiteral("question"), questionShot, QStringLiteral("Yes"));
    QTimer::singleShot(0, [&] {
        // The success box follows the question within the same command.
        QTimer::singleShot(1500, [&] { shootModal(QStringLiteral("success2"), secondShot); });
    });
    clickButton(dlg, 1);
    QVERIFY(questionShot);
    QVERIFY(QFile::exists(QDir(shotDir()).filePath(QStringLiteral("progress.png"))));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("书.QFB"))));
}

int main(int argc, char** argv) {
    const QString grabTo = qEnvironmentVariable("FOLIO_GRAB_TO");
    if (!grabTo.isEmpty()) {
        QGuiApplication app(argc, argv);
        return QGuiApplication::primaryScreen()->grabWindow(0).save(grabTo) ? 0 : 1;
    }
    QApplication app(argc, argv);
    ScreensTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "screens_test.moc"
