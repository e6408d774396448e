// Archives and books in the window: on the command line, dropped, chosen in ADD FILE, and
// shown in the preview, each giving the rows the same pictures give as files.
#include "../archive_support.h"
#include "book/sources/source.h"
#include "ui/book_bridge.h"
#include "ui/page_list_dlg.h"
#include "ui/services.h"
#include "ui_test_support.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QTableWidget>
#include <QTest>

#include <filesystem>

using namespace folio;
using namespace folio::ui;
using namespace folio::ui::test;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& path) {
    QFile f(fromNative(path));
    if (!f.open(QIODevice::ReadOnly)) qFatal("cannot read %s", path.c_str());
    const QByteArray data = f.readAll();
    return {data.begin(), data.end()};
}

// Pictures written as files in natural order of their member paths, and an archive holding
// them under those paths in another order.
struct Comic {
    QTemporaryDir dir;
    std::vector<std::string> files; // in natural member order
    std::string archive;
    Comic(folio::test::ArchiveKind kind, const char* name) {
        QDir(dir.path()).mkpath(QStringLiteral("files"));
        const std::vector<std::pair<QString, QSize>> pages = {
            {QStringLiteral("ch2/p9.png"), {9, 4}},
            {QStringLiteral("ch2/p10.png"), {10, 4}},
            {QStringLiteral("ch10/p1.png"), {4, 11}}};
        std::vector<folio::test::ArchiveMember> members;
        for (const auto& [member, size] : pages) {
            const QString file = QStringLiteral("files/") + QString(member).replace('/', '-');
            files.push_back(writePicture(dir, file, size.width(), size.height()));
            members.insert(members.begin(), {member.toStdString(), bytesOf(files.back())});
        }
        members.push_back({"notes.txt", {'h', 'i'}});
        archive = toNative(dir.filePath(QString::fromLatin1(name)));
        folio::test::writeArchive(archive, kind, members);
    }
    std::vector<std::string> memberPaths() const {
        return {archive + "/ch2/p9.png", archive + "/ch2/p10.png", archive + "/ch10/p1.png"};
    }
};

// The rows of the pictures as files, with the member's path and name in their place.
void compareWithFiles(const CPageListDlg& dlg, const std::vector<std::string>& memberPaths,
                      const std::vector<std::string>& files) {
    MainWindowRig asFiles;
    asFiles.dlg.AddFiles(files);
    QCOMPARE(dlg.pages().rowCount(), static_cast<int>(memberPaths.size()));
    QCOMPARE(asFiles.dlg.pages().rowCount(), static_cast<int>(files.size()));
    for (int i = 0; i < dlg.pages().rowCount(); ++i) {
        const auto row = static_cast<std::size_t>(i);
        QCOMPARE(dlg.pages().cellText(i, kCellPath), memberPaths[row]);
        QCOMPARE(dlg.pages().cellText(i, kCellFileName),
                 std::filesystem::path(memberPaths[row]).filename().string());
        for (int cell : {kCellResolution, kCellFileSize, kCellGrayFlag})
            QCOMPARE(dlg.pages().cellText(i, cell), asFiles.dlg.pages().cellText(i, cell));
    }
    QCOMPARE(viewColumn(dlg, kCellPath), modelColumn(dlg, kCellPath));
}

} // namespace

class SourcesTest : public QObject {
    Q_OBJECT
  private slots:
    void commandLineRar();
    void droppedSevenZip();
    void addFileOnTar();
    void previewOfAMember();
    void titleAndAuthorFromAnAddedArchive();
    void volumesListedInTheSuccessDetails();
};

void SourcesTest::commandLineRar() {
    const std::filesystem::path corpus = FOLIO_CORPUS_DIR;
    for (const char* name : {"ss_testfile.rar3.cbr", "ss_testfile.rar5.cbr"}) {
        const std::string archive = (corpus / "containers" / name).string();
        if (!std::filesystem::exists(archive)) QSKIP("RAR archives of the corpus not found");
        // The members, taken out as files, are what the rows must agree with.
        QTemporaryDir dir;
        std::vector<std::string> files;
        for (const char* member : {"testfile.jpg", "testfile.png"}) {
            std::vector<std::uint8_t> bytes;
            std::string why;
            QVERIFY2(readSourceBytes(archive + "/" + member, bytes, why), why.c_str());
            files.push_back(toNative(dir.filePath(QString::fromLatin1(member))));
            QFile out(fromNative(files.back()));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qint64>(bytes.size()));
        }
        MainWindowRig rig;
        const auto skipped = rig.dlg.AddFiles({archive});
        QVERIFY(skipped.empty());
        compareWithFiles(rig.dlg, {archive + "/testfile.jpg", archive + "/testfile.png"}, files);
    }
}

void SourcesTest::droppedSevenZip() {
    Comic comic(folio::test::ArchiveKind::SevenZip, "comic.cb7");
    MainWindowRig rig;
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(fromNative(comic.archive))});
    QVERIFY(dropOnList(rig.dlg, mime));
    compareWithFiles(rig.dlg, comic.memberPaths(), comic.files);
}

void SourcesTest::addFileOnTar() {
    Comic comic(folio::test::ArchiveKind::Tar, "comic.cbt");
    MainWindowRig rig;
    rig.chooser.next = std::vector<std::string>{comic.archive};
    clickButton(rig.dlg, 1005);
    QCOMPARE(rig.chooser.filter, std::string("*.JPG;*.GIF;*.TIFF;*.BMP"));
    compareWithFiles(rig.dlg, comic.memberPaths(), comic.files);
    // The chooser offers archives and books after the picture filter, then everything.
    QVERIFY(QString::fromUtf8(kChooserContainerFilter).contains(QStringLiteral("*.cbt")));
    QVERIFY(QString::fromUtf8(kChooserContainerFilter).contains(QStringLiteral("*.QFB")));
    for (const char* kind : {"*.jxl", "*.wmf", "*.emf"})
        QVERIFY(QString::fromUtf8(kChooserPictureFilter).contains(QLatin1String(kind)));
    QVERIFY(QString::fromUtf8(kChooserContainerFilter).contains(QStringLiteral("*.djvu")));
    QVERIFY(QString::fromUtf8(kChooserContainerFilter).contains(QStringLiteral("*.epub")));
}

void SourcesTest::previewOfAMember() {
    Comic comic(folio::test::ArchiveKind::Zip, "comic.cbz");
    for (std::size_t i = 0; i < comic.files.size(); ++i) {
        const PreviewPicture member = loadPreviewPicture(comic.memberPaths()[i]);
        const PreviewPicture file = loadPreviewPicture(comic.files[i]);
        QVERIFY(member.loaded);
        QCOMPARE(member.image, file.image);
    }
    QVERIFY(!loadPreviewPicture(comic.archive + "/none.png").loaded);
}

// An empty title or author field takes the added archive's ComicInfo.xml; typed text stays.
void SourcesTest::titleAndAuthorFromAnAddedArchive() {
    Comic comic(folio::test::ArchiveKind::Zip, "comic.cbz");
    const std::string info = "<ComicInfo><Series>海街</Series><Number>2</Number>"
                             "<Writer>作者</Writer></ComicInfo>";
    const std::string tagged = toNative(comic.dir.filePath(QStringLiteral("tagged.cbz")));
    folio::test::writeArchive(
        tagged, folio::test::ArchiveKind::Zip,
        {{"ComicInfo.xml", {info.begin(), info.end()}}, {"p.png", bytesOf(comic.files[0])}});
    MainWindowRig added;
    added.chooser.next = std::vector<std::string>{comic.archive, tagged};
    clickButton(added.dlg, 1005);
    QCOMPARE(added.dlg.m_editTitle->text(), QStringLiteral("海街 2"));
    QCOMPARE(added.dlg.m_editAuthor->text(), QStringLiteral("作者"));

    MainWindowRig typed;
    typed.dlg.m_editTitle->setText(QStringLiteral("mine"));
    QVERIFY(typed.dlg.AddFiles({tagged}).empty());
    QCOMPARE(typed.dlg.m_editTitle->text(), QStringLiteral("mine"));
    QCOMPARE(typed.dlg.m_editAuthor->text(), QStringLiteral("作者"));
}

void SourcesTest::volumesListedInTheSuccessDetails() {
    MakeReport report;
    report.outputName = "/books/long.QFB";
    report.volumes = {{"/books/long-1.QFB", 700}, {"/books/long-2.QFB", 701}};
    const QString details = successDetails(report, {});
    QVERIFY2(details.startsWith(QStringLiteral("分为 2 册:\n/books/long-1.QFB: 700 页")),
             qPrintable(details));
    QVERIFY(details.contains(QStringLiteral("/books/long-2.QFB: 701 页")));
    report.volumes.resize(1);
    QVERIFY(successDetails(report, {}).startsWith(QStringLiteral("文件: /books/long.QFB")));
}

QTEST_MAIN(SourcesTest)
#include "sources_test.moc"
