#include "book/pages/add_pages.h"
#include "book/format/book_check.h"
#include "book/base/parallel.h"
#include "book/sources/source.h"
#include "cli/cli.h"
#include "tests/archive_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <sys/resource.h>

namespace folio {
namespace {

using test::ArchiveKind;
using test::ArchiveMember;

using test::CliRun;
const auto cli = test::runCli;

test::Color tint(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 3), static_cast<std::uint8_t>(y * 5), 77};
}

// Pages stored out of order, beside what a comic archive also carries.
std::vector<ArchiveMember> comicMembers() {
    auto page = [](std::uint32_t w, std::uint32_t h) { return test::bmp24(w, h, tint); };
    auto text = [](const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    return {
        {"ch10/", {}},
        {"ch10/page1.bmp", page(40, 30)},
        {"ch2/page10.bmp", page(30, 40)},
        {"ComicInfo.xml", text("<ComicInfo/>")},
        {"ch2/page9.bmp", page(50, 20)},
        {"__MACOSX/ch2/._page9.bmp", text("resource fork")},
        {".cover.bmp", page(8, 8)},
        {"ch2/.hidden/p.bmp", page(8, 8)},
        {"Thumbs.db", text("thumbs")},
        {"extra/inner.cbz", text("PK")},
        {"cover.BMP", page(64, 48)},
    };
}
// Natural order of the full member paths.
const std::vector<std::string> kComicOrder = {"ch2/page9.bmp", "ch2/page10.bmp", "ch10/page1.bmp",
                                              "cover.BMP"};

struct Kind {
    ArchiveKind kind;
    const char* name;
};

class ArchiveFormats : public ::testing::TestWithParam<Kind> {
  protected:
    test::TempDir dir;
};

TEST_P(ArchiveFormats, PagesInNaturalOrderReadBackAndMadeLikeTheSameFiles) {
    const std::string archive = dir.file(GetParam().name);
    const auto members = comicMembers();
    test::writeArchive(archive, GetParam().kind, members);

    const ContainerListing listing = listContainer(archive);
    std::vector<std::string> expected;
    for (const auto& m : kComicOrder)
        expected.push_back(archive + "/" + m);
    EXPECT_EQ(listing.pages, expected);
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_EQ(listing.skipped[0].path, archive + "/extra/inner.cbz");
    EXPECT_NE(listing.skipped[0].reason.find("archive inside an archive"), std::string::npos);

    // Each member reads back as written; that the pages make the same book as the same
    // pictures given as files is the source contract's.
    SourceReader reader;
    for (const auto& name : kComicOrder) {
        const auto it = std::find_if(members.begin(), members.end(),
                                     [&](const ArchiveMember& m) { return m.name == name; });
        std::vector<std::uint8_t> bytes;
        std::string why;
        ASSERT_TRUE(reader.read(archive + "/" + name, bytes, why)) << name << ": " << why;
        EXPECT_EQ(bytes, it->bytes) << name;
    }
    const CliRun made = cli({"make", "-o", dir.file("archive"), "-j", "2", archive});
    ASSERT_EQ(made.code, 0) << made.err;
    // The inner archive is told and counted like any item that became no page.
    EXPECT_NE(made.out.find("4 pages, 1 skipped"), std::string::npos) << made.out;
    EXPECT_NE(made.err.find("inner.cbz: an archive inside an archive"), std::string::npos);

    // probe names each page CONTAINER/MEMBER.
    const CliRun probed = cli({"probe", archive});
    EXPECT_EQ(probed.out.substr(0, probed.out.find('\n')), archive + "/ch2/page9.bmp\t1\t50x20x24");
}

INSTANTIATE_TEST_SUITE_P(Kinds, ArchiveFormats,
                         ::testing::Values(Kind{ArchiveKind::Zip, "comic.cbz"},
                                           Kind{ArchiveKind::SevenZip, "comic.cb7"},
                                           Kind{ArchiveKind::Tar, "comic.cbt"},
                                           Kind{ArchiveKind::TarGz, "comic.tar.gz"},
                                           Kind{ArchiveKind::TarBz2, "comic.tar.bz2"},
                                           Kind{ArchiveKind::TarXz, "comic.tar.xz"}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(Sources, RarArchivesFromTheCorpus) {
    FOLIO_REQUIRE_CORPUS();
    for (const char* name : {"ss_testfile.rar3.cbr", "ss_testfile.rar5.cbr"}) {
        const std::string archive = (test::corpusDir() / "containers" / name).string();
        if (!std::filesystem::exists(archive)) GTEST_SKIP() << archive << " absent";
        const ContainerListing listing = listContainer(archive);
        EXPECT_EQ(listing.pages,
                  (std::vector<std::string>{archive + "/testfile.jpg", archive + "/testfile.png"}))
            << name;
        const CliRun probed = cli({"probe", archive});
        EXPECT_EQ(probed.out.find("\t-"), std::string::npos) << probed.out;
        EXPECT_EQ(probed.out.find(archive + "/testfile.jpg\t3\t"), 0u) << probed.out;
    }
}

TEST(Sources, PathsResolveToTheLongestContainerThatExists) {
    test::TempDir dir;
    const std::string archive = dir.file("v.cbz");
    test::writeArchive(archive, ArchiveKind::Zip,
                       {{"../up.bmp", test::bmp24(4, 4, tint)},
                        {"./lead.bmp", test::bmp24(6, 4, tint)},
                        {"/abs/p.bmp", test::bmp24(5, 4, tint)}});
    // A folder named like an archive is a folder; its files are files.
    std::filesystem::create_directory(dir.file("d.cbz"));
    test::writeFile(dir.file("d.cbz/p.bmp"), test::bmp24(3, 3, tint));

    struct Case {
        std::string path, container, member;
    };
    for (const auto& c :
         {Case{archive, "", ""}, Case{archive + "/../up.bmp", archive, "../up.bmp"},
          Case{archive + "//abs/p.bmp", archive, "/abs/p.bmp"},
          Case{archive + "/a/b.jpg", archive, "a/b.jpg"}, Case{dir.file("d.cbz/p.bmp"), "", ""},
          Case{dir.file("none.cbz/p.bmp"), "", ""}}) {
        const SourcePath s = resolveSourcePath(c.path);
        EXPECT_EQ(s.container, c.container) << c.path;
        EXPECT_EQ(s.member, c.member) << c.path;
    }
    // Names with .. or a leading / are only names: they read back and nothing is written.
    const ContainerListing listing = listContainer(archive);
    // "./" as tar writes it is a folder of the archive, not a dot-file.
    EXPECT_EQ(listing.pages,
              (std::vector<std::string>{archive + "/../up.bmp", archive + "/./lead.bmp",
                                        archive + "//abs/p.bmp"}));
    std::vector<std::uint8_t> bytes;
    std::string why;
    EXPECT_TRUE(readSourceBytes(archive + "/../up.bmp", bytes, why)) << why;
    EXPECT_EQ(bytes, test::bmp24(4, 4, tint));
    EXPECT_TRUE(readSourceBytes(archive + "//abs/p.bmp", bytes, why)) << why;
    EXPECT_EQ(bytes, test::bmp24(5, 4, tint));
    ASSERT_EQ(cli({"make", "-q", "-o", dir.file("b"), archive}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / "up.bmp"));
    EXPECT_FALSE(std::filesystem::exists("/abs"));
    EXPECT_FALSE(readSourceBytes(archive + "/missing.bmp", bytes, why));
    EXPECT_NE(why.find("no such member"), std::string::npos);
}

TEST(Sources, UnreadableArchivesAreSkippedWithAReasonNamingThem) {
    test::TempDir dir;
    const std::vector<ArchiveMember> pages = {{"p1.bmp", test::bmp24(60, 60, tint)},
                                              {"p2.bmp", test::bmp24(60, 60, tint)}};
    test::writeArchive(dir.file("good.zip"), ArchiveKind::Zip, pages);
    test::writeArchive(dir.file("good.7z"), ArchiveKind::SevenZip, pages);
    test::writeArchive(dir.file("locked.cbz"), ArchiveKind::Zip, pages, "zip:encryption=zipcrypt",
                       "secret");
    const auto zip = test::readFile(dir.file("good.zip"));
    const auto sevenZip = test::readFile(dir.file("good.7z"));
    test::writeFile(dir.file("cut.cbz"),
                    std::vector<std::uint8_t>(zip.begin(), zip.begin() + zip.size() / 2));
    test::writeFile(
        dir.file("cut.cb7"),
        std::vector<std::uint8_t>(sevenZip.begin(), sevenZip.begin() + sevenZip.size() / 2));
    test::writeFile(dir.file("text.cbr"), "this is no archive at all, just some text");
    test::writeFile(dir.file("empty.cbt"), std::vector<std::uint8_t>{});

    struct Case {
        const char* name;
        const char* reason;
    };
    for (const auto& c : {Case{"locked.cbz", "encrypted"}, Case{"cut.cbz", ""}, Case{"cut.cb7", ""},
                          Case{"text.cbr", "not an archive"}, Case{"empty.cbt", ""}}) {
        const ContainerListing listing = listContainer(dir.file(c.name));
        EXPECT_TRUE(listing.pages.empty()) << c.name;
        ASSERT_EQ(listing.skipped.size(), 1u) << c.name;
        EXPECT_EQ(listing.skipped[0].path, dir.file(c.name));
        EXPECT_NE(listing.skipped[0].reason.find(c.reason), std::string::npos)
            << c.name << ": " << listing.skipped[0].reason;
        // The command line names the archive and makes the book from what is left.
        const CliRun made = cli(
            {"make", "--overwrite", "-o", dir.file("out"), dir.file(c.name), dir.file("good.zip")});
        EXPECT_EQ(made.code, 0) << made.err;
        EXPECT_NE(made.err.find("skipped " + dir.file(c.name) + ": "), std::string::npos)
            << made.err;
        EXPECT_EQ(made.err.find("libarchive"), std::string::npos);
        EXPECT_NE(made.out.find("2 pages"), std::string::npos) << made.out;
    }
}

TEST(Sources, ListingAndReadingStayWithinTheirLimits) {
    test::TempDir dir;
    std::vector<ArchiveMember> many;
    for (int i = 0; i < 6; ++i)
        many.push_back({"p" + std::to_string(i) + ".bmp", test::bmp24(20, 20, tint)});
    test::writeArchive(dir.file("many.tar"), ArchiveKind::Tar, many);
    SourceLimits limits;
    limits.maxMembers = 5;
    const ContainerListing listing = listContainer(dir.file("many.tar"), limits);
    EXPECT_TRUE(listing.pages.empty());
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_NE(listing.skipped[0].reason.find("more than 5 members"), std::string::npos);
    limits.maxMembers = 6;
    EXPECT_EQ(listContainer(dir.file("many.tar"), limits).pages.size(), 6u);

    limits.maxMemberBytes = 1000; // below one page's size
    SourceReader reader(limits);
    std::vector<std::uint8_t> bytes;
    std::string why;
    EXPECT_FALSE(reader.read(dir.file("many.tar/p1.bmp"), bytes, why));
    EXPECT_EQ(why, "member too large");
    EXPECT_TRUE(bytes.empty());
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(Sources, ARunOfZerosIsRefusedWhileItIsReadNotAfter) {
    test::TempDir dir;
    constexpr std::uint64_t kZeros = 1200ull << 20; // past the 1 GiB file limit
    struct Case {
        const char* name;
        std::uint64_t claimed;
        const char* reason;
    };
    for (const auto& c : {Case{"honest.cbz", kZeros, "member too large"},
                          Case{"lying.cbz", 1 << 20, "more data than its archive entry says"}}) {
        const auto zip = test::zipOfZeros(kZeros, c.claimed);
        EXPECT_LT(zip.size(), 2u << 20);
        test::writeFile(dir.file(c.name), zip);
        const long rssBefore = peakRssKb();
        const auto start = std::chrono::steady_clock::now();
        const ContainerListing listing = listContainer(dir.file(c.name));
        ASSERT_EQ(listing.pages.size(), 1u) << c.name;
        std::vector<std::uint8_t> bytes;
        std::string why;
        EXPECT_FALSE(readSourceBytes(listing.pages[0], bytes, why)) << c.name;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        const auto took = std::chrono::steady_clock::now() - start;
        // Milliseconds on an idle machine; the bound leaves room for a busy one.
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << c.name;
        EXPECT_LT(peakRssKb() - rssBefore, 100 * 1024) << c.name;
    }
}

// Where a ZIP entry's name and CRC stand in its central directory record.
std::size_t centralRecord(const std::vector<std::uint8_t>& zip, const std::string& name) {
    for (std::size_t i = 0; i + 46 + name.size() <= zip.size(); ++i)
        if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 1 && zip[i + 3] == 2 &&
            zip[i + 28] + 256u * zip[i + 29] == name.size() &&
            std::equal(name.begin(), name.end(), zip.begin() + i + 46))
            return i;
    return std::string::npos;
}

TEST(Sources, DamagedZipMembersAreNamedAndDuplicateNamesReadAsListed) {
    test::TempDir dir;
    const std::vector<ArchiveMember> members = {{"p1.bmp", test::bmp24(40, 30, tint)},
                                                {"p2.bmp", test::bmp24(30, 40, tint)},
                                                {"p3.bmp", test::bmp24(20, 20, tint)},
                                                {"p1.bmp", test::bmp24(8, 8, tint)}};
    for (const bool stored : {true, false}) {
        const std::string archive = dir.file(stored ? "stored.cbz" : "deflated.cbz");
        test::writeArchive(archive, ArchiveKind::Zip, members,
                           stored ? "zip:compression=store" : "");
        auto zip = test::readFile(archive);
        if (stored) { // a flipped bit in the data
            const auto& page = members[1].bytes;
            const auto at = std::search(zip.begin(), zip.end(), page.begin(), page.end());
            ASSERT_NE(at, zip.end());
            at[page.size() / 2] ^= 0x10;
        } else { // a CRC the data does not have
            const std::size_t record = centralRecord(zip, "p2.bmp");
            ASSERT_NE(record, std::string::npos);
            zip[record + 16] ^= 0x10;
        }
        test::writeFile(archive, zip);

        const ContainerListing listing = listContainer(archive);
        EXPECT_EQ(listing.pages, (std::vector<std::string>{archive + "/p1.bmp", archive + "/p2.bmp",
                                                           archive + "/p3.bmp"}));
        SourceReader reader;
        std::vector<std::uint8_t> bytes;
        std::string why;
        EXPECT_FALSE(reader.read(archive + "/p2.bmp", bytes, why));
        EXPECT_EQ(why.rfind("damaged archive", 0), 0u) << why;
        EXPECT_TRUE(bytes.empty());
        // The name given twice is the first of them, as the listing took it.
        ASSERT_TRUE(reader.read(archive + "/p1.bmp", bytes, why)) << why;
        EXPECT_EQ(bytes, members[0].bytes);
        ASSERT_TRUE(reader.read(archive + "/p3.bmp", bytes, why)) << why;
        EXPECT_EQ(bytes, members[2].bytes);

        const CliRun made = cli({"make", "--overwrite", "-o", dir.file("out"), archive});
        EXPECT_EQ(made.code, 0) << made.err;
        EXPECT_NE(made.err.find("skipped " + archive + "/p2.bmp: does not load: damaged archive"),
                  std::string::npos)
            << made.err;
        EXPECT_NE(made.out.find("2 pages"), std::string::npos) << made.out;
    }
}

TEST(Sources, OneReaderSharedByWorkersGivesEveryMemberOnce) {
    // Workers ask slightly out of order; every member must still come out right, from an
    // archive read in one pass (TAR) and from one read member by member (ZIP).
    for (const auto& [kind, name] :
         {Kind{ArchiveKind::TarGz, "pages.tar.gz"}, Kind{ArchiveKind::Zip, "pages.cbz"}}) {
        test::TempDir dir;
        std::vector<ArchiveMember> members;
        std::vector<std::string> paths;
        for (int i = 0; i < 40; ++i) {
            members.push_back({"p" + std::to_string(i) + ".bmp", test::bmp24(10 + i, 7, tint)});
            paths.push_back(dir.file(name) + "/" + members.back().name);
        }
        test::writeArchive(dir.file(name), kind, members);
        SourceReader reader;
        reader.expect(paths);
        std::vector<std::vector<std::uint8_t>> got(paths.size());
        std::vector<std::string> why(paths.size());
        std::vector<char> ok(paths.size());
        parallelFor(paths.size(), 4,
                    [&](std::size_t i) { ok[i] = reader.read(paths[i], got[i], why[i]); });
        for (std::size_t i = 0; i < paths.size(); ++i) {
            EXPECT_TRUE(ok[i]) << paths[i] << ": " << why[i];
            EXPECT_EQ(got[i], members[i].bytes) << paths[i];
        }
        // Backwards too: every request goes round a TAR again.
        for (std::size_t i = paths.size(); i-- > 35;) {
            std::vector<std::uint8_t> bytes;
            std::string reason;
            ASSERT_TRUE(reader.read(paths[i], bytes, reason)) << reason;
            EXPECT_EQ(bytes, members[i].bytes);
        }
    }
}

TEST(Sources, AddFileExpandsAChosenArchiveAndShowsMemberCells) {
    test::TempDir dir;
    const std::string archive = dir.file("comic.cbt");
    const auto members = comicMembers();
    test::writeArchive(archive, ArchiveKind::Tar, members);
    struct Chooser : FileChooser {
        std::vector<std::string> answer;
        std::string filter;
        std::optional<std::vector<std::string>> chooseFiles(const std::string&,
                                                            const std::string& f) override {
            filter = f;
            return answer;
        }
    } chooser;
    chooser.answer = {archive};
    DiskFileLookup lookup;
    PageList list;
    const auto skipped = addPages(list, chooser, lookup);
    EXPECT_EQ(chooser.filter, "*.JPG;*.GIF;*.TIFF;*.BMP");
    ASSERT_EQ(list.rowCount(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list.cellText(i, kCellPath), archive + "/" + kComicOrder[i]);
        EXPECT_EQ(list.cellText(i, kCellFileName), memberFileName(kComicOrder[i]));
    }
    EXPECT_EQ(list.cellText(0, kCellResolution), "50x20x24");
    const auto& cover = members.back();
    EXPECT_EQ(list.cellText(3, kCellFileSize), fileSizeText(cover.bytes.size()));
    EXPECT_EQ(list.cellText(3, kCellFileSize), "9KB");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, archive + "/extra/inner.cbz");
}

TEST(Sources, BooksAreContainersOfTheirPagesAndExtractGivesThemBack) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("in"));
    for (int i = 0; i < 3; ++i)
        test::writeFile(dir.file("in/p" + std::to_string(i) + ".bmp"),
                        test::bmp24(300 + 100 * i, 200, tint));
    ASSERT_EQ(cli({"make", "-q", "-o", dir.file("book"), dir.file("in")}).code, 0);
    const std::string book = dir.file("book.QFB");
    const auto bookBytes = test::readFile(book);
    const BookInfo info = checkBook(bookBytes);
    ASSERT_EQ(info.pages.size(), 3u);

    const ContainerListing listing = listContainer(book);
    EXPECT_EQ(listing.pages, (std::vector<std::string>{book + "/0001.jpg", book + "/0002.jpg",
                                                       book + "/0003.jpg"}));
    EXPECT_EQ(cli({"extract", book, dir.file("out")}).code, 0);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::vector<std::uint8_t> page(bookBytes.begin() + info.pages[i].offset,
                                             bookBytes.begin() + info.pages[i].offset +
                                                 info.pages[i].size);
        std::vector<std::uint8_t> member;
        std::string why;
        ASSERT_TRUE(readSourceBytes(listing.pages[i], member, why)) << why;
        EXPECT_EQ(member, page);
        EXPECT_EQ(test::readFile(dir.file("out/" + bookPageName(i))), page);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("out")), {}), 3);

    // The extracted files and the book itself make the same book, page for page.
    ASSERT_EQ(cli({"make", "-q", "-o", dir.file("again"), dir.file("out")}).code, 0);
    ASSERT_EQ(cli({"make", "-q", "-o", dir.file("direct"), book}).code, 0);
    EXPECT_EQ(test::readFile(dir.file("again.QFB")), test::readFile(dir.file("direct.QFB")));
    EXPECT_EQ(checkBook(test::readFile(dir.file("direct.QFB"))).pageCount, 3u);

    // Existing files are left alone unless told otherwise.
    test::writeFile(dir.file("out/0002.jpg"), "mine");
    const CliRun refused = cli({"extract", book, dir.file("out")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("exists; use --overwrite"), std::string::npos) << refused.err;
    EXPECT_EQ(test::readFile(dir.file("out/0002.jpg")).size(), 4u);
    EXPECT_EQ(cli({"extract", "--overwrite", book, dir.file("out")}).code, 0);
    EXPECT_EQ(test::readFile(dir.file("out/0002.jpg")).size(), info.pages[1].size);

    // A broken page: the sound ones still come out, the broken one is named.
    auto damaged = bookBytes;
    damaged[info.pages[1].offset] = 0;
    test::writeFile(dir.file("damaged.QFB"), damaged);
    const CliRun partial = cli({"extract", dir.file("damaged.QFB"), dir.file("part")});
    EXPECT_EQ(partial.code, 1);
    EXPECT_NE(partial.err.find("page 2 not written"), std::string::npos) << partial.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("part/0001.jpg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("part/0002.jpg")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("part/0003.jpg")));

    for (const auto& args :
         {std::vector<std::string>{"extract"}, std::vector<std::string>{"extract", book},
          std::vector<std::string>{"extract", "--all", book, dir.file("x")}})
        EXPECT_EQ(cli(args).code, 2);
    EXPECT_EQ(cli({"extract", dir.file("none.QFB"), dir.file("x")}).code, 1);
}

} // namespace
} // namespace folio
