#include "book/format/book_check.h"
#include "cli/cli.h"
#include "tests/archive_support.h"
#include "tests/pdf_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>

namespace folio {
namespace {

using test::Color;

using Run = test::CliRun;
const auto run = test::runCli;

Color stripes(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>((x / 8) % 2 * 200), static_cast<std::uint8_t>(y), 90};
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(pagesDir());
        // Written out of order so that only natural ordering gives page1, page2, page10.
        for (const auto& [name, w, h] :
             {std::tuple{"page10.bmp", 300u, 200u}, std::tuple{"page2.bmp", 200u, 300u},
              std::tuple{"page1.bmp", 64u, 64u}})
            test::writeFile(pagesDir() + "/" + name, test::bmp24(w, h, stripes));
        test::writeFile(pagesDir() + "/notes.txt", "not a page");
    }
    std::string pagesDir() const { return dir.file("pages"); }
    test::TempDir dir;
};

TEST_F(Cli, MakeFromAFolderThenInspect) {
    const std::string cover = dir.file("cover.bmp");
    test::writeFile(cover, test::bmp24(120, 90, stripes));
    const auto made = run({"make", "-o", dir.file("book"), "--title", "标题", "--author", "me",
                           "--jobs", "2", "--color", cover, pagesDir()});
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_NE(made.out.find("4 pages, 0 skipped"), std::string::npos) << made.out;

    const auto shown = run({"inspect", dir.file("book.QFB")});
    EXPECT_EQ(shown.code, 0) << shown.err;
    EXPECT_NE(shown.out.find("title:  标题"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("pages:  4"), std::string::npos) << shown.out;

    const BookInfo info = checkBook(test::readFile(dir.file("book.QFB")));
    ASSERT_EQ(info.pages.size(), 4u);
    // Cover in colour first, then the folder in natural order as gray pages.
    EXPECT_EQ(info.pages[0].components, 3);
    EXPECT_EQ(info.pages[0].width, 853u); // 120x90
    EXPECT_EQ(info.pages[1].width, 640u); // page1 64x64
    EXPECT_EQ(info.pages[2].width, 960u); // page2 turned to 300x200
    EXPECT_EQ(info.pages[3].width, 960u); // page10
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(info.pages[static_cast<std::size_t>(i)].components, 1);
}

TEST_F(Cli, SameBookTwiceIsByteIdentical) {
    ASSERT_EQ(run({"make", "-o", dir.file("a"), "-j", "1", pagesDir()}).code, 0);
    ASSERT_EQ(run({"make", "-o", dir.file("b"), pagesDir()}).code, 0);
    EXPECT_EQ(test::readFile(dir.file("a.QFB")), test::readFile(dir.file("b.QFB")));
}

TEST_F(Cli, ExistingBookRefusedWithoutOverwrite) {
    test::writeFile(dir.file("b.QFB"), "old");
    const auto refused = run({"make", "-o", dir.file("b.QFB"), pagesDir()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("--overwrite"), std::string::npos) << refused.err;
    EXPECT_EQ(test::readFile(dir.file("b.QFB")).size(), 3u);
    EXPECT_EQ(run({"make", "--overwrite", "-o", dir.file("b.QFB"), pagesDir()}).code, 0);
    EXPECT_TRUE(checkBook(test::readFile(dir.file("b.QFB"))).sound());
}

TEST_F(Cli, SkippedPagesListedWithReasons) {
    const std::string broken = dir.file("broken.png");
    test::writeFile(broken, "\x89PNG but not really");
    const auto r =
        run({"make", "-o", dir.file("c"), broken, dir.file("missing.jpg"), dir.file("readme")});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.err.find("skipped " + broken + ": does not load"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.jpg: does not load: cannot open file"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("readme: not an image file name"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("0 pages, 3 skipped"), std::string::npos) << r.out;

    // --strict: the same book, written in full, but the run fails.
    const auto strict = run({"make", "--strict", "-o", dir.file("d"), broken, pagesDir()});
    EXPECT_EQ(strict.code, 1);
    EXPECT_NE(strict.err.find("1 page(s) not in the book (--strict)"), std::string::npos)
        << strict.err;
    EXPECT_EQ(checkBook(test::readFile(dir.file("d.QFB"))).pages.size(), 3u);
    EXPECT_EQ(run({"make", "--strict", "-o", dir.file("e"), pagesDir()}).code, 0);

    // A folder with no image file stands for no page, and says so.
    std::filesystem::create_directory(dir.file("empty"));
    const auto e = run({"make", "-o", dir.file("f"), dir.file("empty"), pagesDir()});
    EXPECT_EQ(e.code, 0);
    EXPECT_NE(e.err.find("skipped " + dir.file("empty") + ": folder holds no image files"),
              std::string::npos)
        << e.err;
    EXPECT_NE(e.out.find("3 pages, 1 skipped"), std::string::npos) << e.out;
    EXPECT_EQ(run({"make", "--strict", "-o", dir.file("g"), dir.file("empty"), pagesDir()}).code,
              1);

    // Rows past the last slot are counted once.
    std::vector<std::string> many = {"make", "--strict", "-o", dir.file("h")};
    many.insert(many.end(), 1003, pagesDir() + "/page1.bmp");
    const auto full = run(many);
    EXPECT_EQ(full.code, 1);
    EXPECT_NE(full.err.find("3 page(s) not in the book (--strict)"), std::string::npos)
        << full.err.substr(full.err.size() - std::min<std::size_t>(full.err.size(), 300));
}

struct UsageCase {
    std::vector<std::string> args;
    int code;
    const char* message;
};

TEST(CliUsage, ErrorsAndHelp) {
    const UsageCase cases[] = {
        {{}, 2, "no command"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"make", "page.jpg"}, 2, "no output file"},
        {{"make", "-o"}, 2, "needs a file name"},
        {{"make", "-o", "x", "--gray-quality", "101"}, 2, "0 to 100"},
        {{"make", "-o", "x", "--color-quality", "-1"}, 2, "0 to 100"},
        {{"make", "-o", "x", "--jobs", "0"}, 2, "1 to 999"},
        {{"make", "-o", "x", "--bogus"}, 2, "unknown option"},
        {{"inspect"}, 2, "exactly one"},
        {{"probe"}, 2, "at least one"},
        {{"make", "--", "-h"}, 2, "no output file"}, // a page named -h, not help
    };
    for (const auto& c : cases) {
        const auto r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // Help wins wherever it stands, even after what would be a usage error.
    for (const char* command : {"make", "inspect", "probe"}) {
        for (const auto& tail :
             {std::vector<std::string>{"--help"}, std::vector<std::string>{"a", "--bogus", "-h"}}) {
            std::vector<std::string> args{command};
            args.insert(args.end(), tail.begin(), tail.end());
            const auto r = run(args);
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.out.rfind(std::string("Usage: folioforge ") + command, 0), 0u) << r.out;
        }
    }
    for (const char* flag : {"--version", "-V"}) {
        const auto r = run({flag});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out.rfind("folioforge " FOLIO_VERSION "\nLicence GPL-3.0-or-later", 0), 0u)
            << r.out;
    }
}

// The commands under "Commands:" in the general help: every row of the command table.
std::vector<std::string> listedCommands() {
    std::istringstream help(run({"--help"}).out);
    std::vector<std::string> commands;
    for (std::string text; std::getline(help, text) && text != "Commands:";) {
    }
    for (std::string text; std::getline(help, text) && !text.empty();)
        commands.push_back(text.substr(2, text.find(' ', 2) - 2));
    return commands;
}

// Help stands anywhere before a "--" whatever the command's own options; after it, it is a word.
TEST(CliUsage, EveryCommandsHelp) {
    const std::string general = run({"--help"}).out;
    const auto commands = listedCommands();
    ASSERT_EQ(commands.size(), 5u);
    for (const auto& command : commands) {
        const auto help = run({command, "--help"});
        EXPECT_EQ(help.code, 0) << help.err;
        EXPECT_EQ(help.out.rfind("Usage: folioforge " + command + " ", 0), 0u) << help.out;
        // The general help opens with each command's usage line.
        const std::string usage = help.out.substr(7, help.out.find('\n') - 7);
        EXPECT_NE(general.find("\n       " + usage + "\n"), std::string::npos) << usage;
        for (const auto& tail : {std::vector<std::string>{"-h"}, {"x", "y", "--help"}}) {
            std::vector<std::string> args{command};
            args.insert(args.end(), tail.begin(), tail.end());
            const auto r = run(args);
            EXPECT_EQ(r.code, 0) << command << ": " << r.err;
            EXPECT_EQ(r.out, help.out) << command;
        }
        EXPECT_EQ(run({command, "--", "--help"}).out.find("Usage:"), std::string::npos) << command;
    }
}

// What a whole command line asks for: a command run here, or the window with its files.
TEST(CliUsage, WindowOrCommand) {
    test::TempDir dir;
    const std::string folder = dir.file("pages");
    std::filesystem::create_directory(folder);
    const std::string book = dir.file("old.QFB");
    test::writeFile(book, "book");
    struct Case {
        std::vector<std::string> args;
        std::optional<int> code; // nullopt: the window opens
        std::vector<std::string> files;
        const char* message;
    };
    const Case cases[] = {
        {{}, std::nullopt, {}, ""},
        {{folder, "later.jpg"}, std::nullopt, {folder, "later.jpg"}, ""},
        {{"--", "-dash.jpg"}, std::nullopt, {"-dash.jpg"}, ""},
        {{"mkae", folder}, 2, {}, "folioforge: unknown command 'mkae'\nTry 'folioforge --help'"},
        {{"scan01.jpg"}, 2, {}, "no such file or folder 'scan01.jpg'"},
        {{folder + "/gone.jpg"}, 2, {}, "no such file or folder"},
        {{folder + "/../pages"}, std::nullopt, {folder + "/../pages"}, ""},
        {{book + "/0001.jpg"}, std::nullopt, {book + "/0001.jpg"}, ""}, // a member of a book
        {{"--bogus"}, 2, {}, "unknown option '--bogus'"},
        {{folder, "-x"}, 2, {}, "unknown option '-x'"},
        {{folder, "-h"}, 0, {}, ""},
        {{"-V"}, 0, {}, ""},
        {{"inspect"}, 2, {}, "exactly one"},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        std::vector<std::string> files{"stale"};
        EXPECT_EQ(cli::runUnlessWindow(c.args, files, out, err), c.code) << err.str();
        if (!c.code) {
            EXPECT_EQ(files, c.files);
        }
        EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    }
    // Every command the help lists starts from the program's command line, and the line for a
    // missing display names it.
    const auto commands = listedCommands();
    ASSERT_GE(commands.size(), 3u);
    for (const auto& command : commands) {
        std::ostringstream out, err;
        std::vector<std::string> files;
        EXPECT_EQ(cli::runUnlessWindow({command, "--help"}, files, out, err), 0) << command;
        EXPECT_EQ(out.str().rfind("Usage: folioforge " + command, 0), 0u) << out.str();
        EXPECT_NE(cli::noWindowMessage("no display").find(" " + command), std::string::npos);
    }
    const std::string line = cli::noWindowMessage("no display");
    EXPECT_EQ(line.rfind("folioforge: cannot open the window: no display; the probe, make, "
                         "page, inspect",
                         0),
              0u)
        << line;
    EXPECT_TRUE(line.ends_with(" commands work without one\n")) << line;
}

TEST(CliInspect, NamesTheFirstBrokenRule) {
    test::TempDir dir;
    const auto empty = run({"make", "-o", dir.file("e")});
    ASSERT_EQ(empty.code, 0);
    EXPECT_EQ(empty.out, "wrote " + dir.file("e.QFB") + ": 0 pages, 0 skipped, 4.1 KiB\n");
    auto bytes = test::readFile(dir.file("e.QFB"));
    ASSERT_EQ(bytes.size(), 4216u);
    struct Damage {
        std::size_t offset;
        std::uint8_t value;
        const char* message;
    };
    for (const auto& d : {Damage{0, 'X', "magic"}, Damage{4, 0xE9, "slot count"},
                          Damage{208, 1, "reserved byte 208"}, Damage{212, 1, "page 0 has size 0"},
                          Damage{216, 9, "size entry 0 past the last page"},
                          Damage{4000, 1, "past the last page"}}) {
        auto copy = bytes;
        copy[d.offset] = d.value;
        test::writeFile(dir.file("bad.QFB"), copy);
        const auto r = run({"inspect", dir.file("bad.QFB")});
        EXPECT_EQ(r.code, 1) << d.message;
        EXPECT_NE(r.err.find(d.message), std::string::npos) << r.err;
    }
    auto longer = bytes;
    longer.push_back(0);
    test::writeFile(dir.file("long.QFB"), longer);
    EXPECT_EQ(run({"inspect", dir.file("long.QFB")}).code, 1);
    EXPECT_EQ(run({"inspect", dir.file("nothing.QFB")}).code, 1);
}

TEST(CliProbe, TypeAndSizeOrDash) {
    test::TempDir dir;
    const std::string good = dir.file("g.bmp"), text = dir.file("t.bmp"), none = dir.file("n.txt");
    test::writeFile(good, test::bmp24(7, 5, stripes));
    test::writeFile(text, "hello");
    test::writeFile(none, "hello");
    const std::string broken = dir.file("b.png"); // sound headers, pixel data broken
    test::writeFile(broken, test::png24BrokenData(3, 2));
    const std::string common = good + "\t1\t7x5x24\n" + text + "\t1\t-\n" + none + "\t0\t-\n";
    // Headers only by default; --decode decodes in full, so the broken file shows '-'.
    auto r = run({"probe", good, text, none, broken});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, common + broken + "\t4\t3x2x24\n");
    r = run({"probe", "--decode", good, text, none, broken});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, common + broken + "\t4\t-\n");
    EXPECT_EQ(run({"probe", "--decode"}).code, 2);
}

} // namespace
} // namespace folio

namespace folio {
namespace {

// A library made book by book: titles from ComicInfo.xml, a PDF's information or the name; a
// damaged archive and an empty folder named and the rest made; exit 1 for the failures.
TEST(CliConvert, OneBookPerInputTitledFromItsFiles) {
    test::TempDir dir;
    const auto page = test::bmp24(60, 80, [](std::uint32_t x, std::uint32_t y) {
        return Color{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 40};
    });
    const std::string info = "<?xml version=\"1.0\"?><ComicInfo><Series>Long Road</Series>"
                             "<Number>3</Number><Writer>A. Writer</Writer></ComicInfo>";
    test::writeArchive(dir.file("vol3.cbz"), test::ArchiveKind::Zip,
                       {{"ComicInfo.xml", {info.begin(), info.end()}},
                        {"ch1/01.bmp", page},
                        {"ch1/02.bmp", page}});
    test::writeArchive(dir.file("plain.tar.gz"), test::ArchiveKind::TarGz, {{"a.bmp", page}});
    test::writeFile(dir.file("scan.pdf"),
                    test::pdfBytes({{300, 400, 0, 0, nullptr, {"page"}}}, "Scanned", "Someone"));
    std::filesystem::create_directory(dir.file("Vol 1"));
    test::writeFile(dir.file("Vol 1/p.bmp"), page);
    std::filesystem::create_directory(dir.file("empty"));
    test::writeFile(dir.file("broken.cbz"), std::string("PK\3\4 this is no archive"));

    const test::CliRun r =
        run({"convert", "-d", dir.file("out"), dir.file("vol3.cbz"), dir.file("plain.tar.gz"),
             dir.file("scan.pdf"), dir.file("Vol 1"), dir.file("empty"), dir.file("broken.cbz")});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.out.find("4 of 6 books made"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(dir.file("empty") + ": gives no pages"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir.file("broken.cbz") + ": gives no pages"), std::string::npos);
    const std::tuple<const char*, const char*, const char*, std::uint32_t> made[] = {
        {"vol3.QFB", "Long Road 3", "A. Writer", 2},
        {"plain.QFB", "plain", "", 1},
        {"scan.QFB", "Scanned", "Someone", 1},
        {"Vol 1.QFB", "Vol 1", "", 1},
    };
    for (const auto& [name, title, author, pages] : made) {
        const BookInfo book = checkBook(test::readFile(dir.file("out/") + name));
        ASSERT_TRUE(book.sound()) << name << ": " << book.violation;
        EXPECT_EQ(book.title, title);
        EXPECT_EQ(book.author, author);
        EXPECT_EQ(book.pageCount, pages);
    }
    // Made again: every book exists, so every input fails without --overwrite.
    EXPECT_EQ(run({"convert", "-q", "-d", dir.file("out"), dir.file("plain.tar.gz")}).code, 1);
    EXPECT_EQ(
        run({"convert", "-q", "--overwrite", "-d", dir.file("out"), dir.file("plain.tar.gz")}).code,
        0);
    // Two inputs of one name are refused before anything is written.
    const test::CliRun twice =
        run({"convert", "-d", dir.file("two"), dir.file("vol3.cbz"), dir.file("out/../vol3.cbz")});
    EXPECT_EQ(twice.code, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("two")));
}

TEST(CliConvert, MakeSplitsIntoVolumesAndSaysEach) {
    test::TempDir dir;
    for (int i = 0; i < 5; ++i)
        test::writeFile(dir.file("p" + std::to_string(i) + ".bmp"), test::bmp24(30, 40, stripes));
    std::filesystem::remove(dir.file("p4.bmp"));
    const test::CliRun r =
        run({"make", "-o", dir.file("b"), "--max-pages", "2", "--title", "T", dir.file("p0.bmp"),
             dir.file("p1.bmp"), dir.file("p2.bmp"), dir.file("p3.bmp")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("wrote " + dir.file("b-1.QFB") + ": 2 pages"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4 pages in 2 volumes, 0 skipped"), std::string::npos) << r.out;
    EXPECT_EQ(checkBook(test::readFile(dir.file("b-2.QFB"))).title, "T (2/2)");
    const test::CliRun again = run({"make", "-o", dir.file("b"), "--max-pages", "2", dir.file("p0.bmp"),
                           dir.file("p1.bmp"), dir.file("p2.bmp")});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find(dir.file("b-1.QFB") + " exists"), std::string::npos) << again.err;
    EXPECT_EQ(run({"make", "-o", "x", "--max-pages", "1001", dir.file("p0.bmp")}).code, 2);
}

} // namespace
} // namespace folio
