// Pages taken from a cache: the book must be the one made from nothing, and only pages whose
// source or settings changed are made again.
#include "book/making/book_builder.h"
#include "book/base/pace.h"
#include "book/making/page_cache.h"
#include "cli/cli.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

namespace folio {
namespace {

namespace fs = std::filesystem;
using test::Color;

Color warm(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 3), static_cast<std::uint8_t>(y * 2), 60};
}
Color cool(std::uint32_t x, std::uint32_t y) {
    return {40, static_cast<std::uint8_t>(x + y), static_cast<std::uint8_t>(y * 5)};
}

struct YesPlatform final : BookPlatform {
    bool fileExists(const std::string& name) override { return fs::exists(name); }
    bool askOverwrite(const std::string&) override { return true; }
    void reportSuccess(const std::string&, const MakeReport&) override {}
    void reportFailure(const MakeReport&) override {}
};

// A page file as a user has it: written a while ago, unless told otherwise.
void writePage(const std::string& path, Color (*pixel)(std::uint32_t, std::uint32_t),
               std::uint32_t w = 90, std::uint32_t h = 120, bool old = true) {
    test::writeFile(path, test::bmp24(w, h, pixel));
    if (old) fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

class Pages : public ::testing::Test {
  public:
    void addRow(const std::string& path, bool gray) {
        const int r = pages.rowCount();
        pages.insertRow(r, fs::path(path).filename().string());
        pages.setCellText(r, kCellPath, path);
        pages.setCellText(r, kCellGrayFlag, gray ? "Yes" : "No");
    }
    // Two gray pages (one portrait, one landscape) and one colour page.
    void addThreePages() {
        for (const auto& [name, pixel, w, h, gray] :
             {std::tuple{"a.bmp", &warm, 90u, 120u, true},
              std::tuple{"b.bmp", &cool, 130u, 70u, true},
              std::tuple{"c.bmp", &warm, 700u, 900u, false}}) {
            writePage(dir.file(name), pixel, w, h);
            addRow(dir.file(name), gray);
        }
    }
    std::vector<std::uint8_t> make(PageCache* cache, const std::string& name = "book") {
        request.fileName = dir.file(name);
        request.jobs = 2;
        request.cache = cache;
        YesPlatform platform;
        NullProgress progress;
        const MakeReport report = makeBook(bookEntries(pages), request, platform, progress);
        EXPECT_TRUE(report.written) << report.error;
        return test::readFile(report.outputName);
    }

    test::TempDir dir;
    PageList pages;
    BookRequest request;
};

enum class Kind { Memory, Disk };

class CachedMake : public Pages, public ::testing::WithParamInterface<Kind> {
  protected:
    void SetUp() override {
        if (GetParam() == Kind::Disk) {
            std::string why;
            ASSERT_TRUE(disk.open(why)) << why;
        }
    }
    PageCache* cache() {
        return GetParam() == Kind::Memory ? static_cast<PageCache*>(&memory) : &disk;
    }
    std::size_t hits() const { return GetParam() == Kind::Memory ? memory.hits() : disk.hits(); }
    std::size_t misses() const {
        return GetParam() == Kind::Memory ? memory.misses() : disk.misses();
    }

    MemoryPageCache memory;
    DiskPageCache disk{dir.file("cache")};
};

TEST_P(CachedMake, SecondMakeTakesEveryPageAndEqualsABookMadeFromNothing) {
    addThreePages();
    const auto first = make(cache());
    EXPECT_EQ(misses(), 3u);
    const auto second = make(cache());
    EXPECT_EQ(hits(), 3u);
    EXPECT_EQ(misses(), 3u);
    const auto fresh = make(nullptr, "fresh");
    EXPECT_EQ(first, fresh);
    EXPECT_EQ(second, fresh);
}

TEST_P(CachedMake, ChangedSourceIsMadeAgainEvenWithItsOldSizeAndTime) {
    addThreePages();
    make(cache());
    // Rewritten in place with other pixels, then given back its size and time (cp -p).
    const std::string b = dir.file("b.bmp");
    const auto when = fs::last_write_time(b);
    writePage(b, &warm, 130, 70, false);
    fs::last_write_time(b, when);
    const auto again = make(cache());
    EXPECT_EQ(misses(), 4u);
    EXPECT_EQ(hits(), 2u);
    EXPECT_EQ(again, make(nullptr, "fresh"));
}

TEST_P(CachedMake, ChangedSettingsMakeThePagesTheyDecideAgain) {
    struct Change {
        const char* what;
        std::function<void(BookRequest&)> apply;
        std::size_t madeAgain;
    };
    const Change changes[] = {
        {"colour quality", [](BookRequest& r) { r.options.colorQuality = 60; }, 1},
        {"gray quality", [](BookRequest& r) { r.options.grayQuality = 30; }, 2},
        {"fast decoding", [](BookRequest& r) { r.options.fast = true; }, 3},
    };
    addThreePages();
    make(cache());
    // The colour page marked gray: only that row's settings change.
    pages.setCellText(2, kCellGrayFlag, "Yes");
    std::size_t before = misses();
    make(cache());
    EXPECT_EQ(misses() - before, 1u) << "gray flag";
    for (const Change& c : changes) {
        pages.setCellText(2, kCellGrayFlag, "No");
        request = {};
        make(cache());
        before = misses();
        c.apply(request);
        const auto book = make(cache());
        EXPECT_EQ(misses() - before, c.madeAgain) << c.what;
        EXPECT_EQ(book, make(nullptr, "fresh")) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Both, CachedMake, ::testing::Values(Kind::Memory, Kind::Disk),
                         [](const auto& info) {
                             return info.param == Kind::Memory ? "Memory" : "Disk";
                         });

// ---- in memory

TEST_F(Pages, MemoryCacheDropsTheLeastRecentlyUsedPastItsBudget) {
    std::vector<Source> sources(3);
    const PageSettings settings{true, 50, false};
    const auto page = std::make_shared<const std::vector<std::uint8_t>>(1000, 7);
    MemoryPageCache cache(2500);
    for (int i = 0; i < 3; ++i) {
        sources[i].path = dir.file("p" + std::to_string(i) + ".bmp");
        writePage(sources[i].path, &warm);
        ASSERT_TRUE(readSource(sources[i].path, sources[i]));
    }
    cache.store(settings, sources[0], page);
    cache.store(settings, sources[1], page);
    EXPECT_TRUE(cache.find(settings, sources[0])); // 0 is now more recent than 1
    cache.store(settings, sources[2], page);
    EXPECT_EQ(cache.pages(), 2u);
    EXPECT_LE(cache.bytes(), 2500u);
    EXPECT_TRUE(cache.find(settings, sources[0]));
    EXPECT_FALSE(cache.find(settings, sources[1]));
    EXPECT_TRUE(cache.find(settings, sources[2]));
    // A page larger than the whole budget is not kept, and drops nothing.
    cache.store(settings, sources[1], std::make_shared<const std::vector<std::uint8_t>>(3000));
    EXPECT_EQ(cache.pages(), 2u);
}

TEST_F(Pages, MemoryCacheKeepsNoPageOfAFileModifiedJustNow) {
    // Its time may not tick before the next change, which would then go unseen.
    writePage(dir.file("new.bmp"), &warm, 90, 120, false);
    addRow(dir.file("new.bmp"), true);
    MemoryPageCache cache;
    make(&cache);
    EXPECT_EQ(cache.pages(), 0u);
    writePage(dir.file("new.bmp"), &cool, 90, 120);
    make(&cache);
    EXPECT_EQ(cache.pages(), 1u);
}

// ---- on disk

// The one kept file of a one-page book.
std::string keptFile(const std::string& cacheDir) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(cacheDir))
        found.push_back(e.path().string());
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::string() : found[0];
}

TEST_F(Pages, DamagedOrForeignFilesInTheCacheAreIgnoredAndReplaced) {
    struct Damage {
        const char* what;
        std::function<void(const std::string& file, Pages& t)> apply;
    };
    auto flipAt = [](std::function<std::size_t(std::size_t)> where) {
        return [where](const std::string& file, Pages&) {
            auto bytes = test::readFile(file);
            bytes[where(bytes.size())] ^= 0x40;
            test::writeFile(file, bytes);
        };
    };
    const Damage damages[] = {
        {"truncated",
         [](const std::string& f, Pages&) { fs::resize_file(f, fs::file_size(f) - 100); }},
        {"empty", [](const std::string& f, Pages&) { test::writeFile(f, std::string()); }},
        {"foreign text", [](const std::string& f, Pages&) { test::writeFile(f, "not a page\n"); }},
        {"magic", flipAt([](std::size_t) { return 2; })},
        {"version", flipAt([](std::size_t) { return 8; })},
        {"content key", flipAt([](std::size_t) { return 20; })},
        {"settings key", flipAt([](std::size_t) { return 60; })},
        {"a JPEG byte", flipAt([](std::size_t n) { return n - 300; })},
        {"the file of another page",
         [](const std::string& f, Pages& t) {
             const std::string other = t.dir.file("other");
             fs::create_directory(other);
             DiskPageCache cache(other);
             std::string why;
             ASSERT_TRUE(cache.open(why));
             t.pages.setCellText(0, kCellPath, t.dir.file("b.bmp"));
             t.make(&cache, "other");
             t.pages.setCellText(0, kCellPath, t.dir.file("a.bmp"));
             fs::copy_file(keptFile(other), f, fs::copy_options::overwrite_existing);
         }},
        {"checksum right but no JPEG",
         [](const std::string&, Pages& t) {
             DiskPageCache cache(t.dir.file("cache"));
             Source s;
             s.path = t.dir.file("a.bmp");
             cache.find({true, 50, false}, s);
             cache.store({true, 50, false}, s,
                         std::make_shared<const std::vector<std::uint8_t>>(5000, 0xFF));
         }},
    };
    writePage(dir.file("a.bmp"), &warm);
    writePage(dir.file("b.bmp"), &cool);
    addRow(dir.file("a.bmp"), true);
    const auto fresh = make(nullptr, "fresh");
    for (const Damage& d : damages) {
        const std::string cacheDir = dir.file("cache");
        fs::remove_all(cacheDir);
        DiskPageCache cache(cacheDir);
        std::string why;
        ASSERT_TRUE(cache.open(why)) << why;
        make(&cache);
        d.apply(keptFile(cacheDir), *this);
        EXPECT_EQ(make(&cache), fresh) << d.what;
        EXPECT_EQ(cache.misses(), 2u) << d.what;
        // Replaced by a sound one.
        make(&cache);
        EXPECT_EQ(cache.hits(), 1u) << d.what;
    }
}

TEST_F(Pages, RunsSharingACacheDirectoryLeaveOnlyWholeFiles) {
    addThreePages();
    const auto fresh = make(nullptr, "fresh");
    std::vector<std::uint8_t> books[2];
    {
        std::vector<std::jthread> runs;
        for (int i = 0; i < 2; ++i)
            runs.emplace_back([&, i] {
                DiskPageCache cache(dir.file("cache"));
                std::string why;
                ASSERT_TRUE(cache.open(why));
                BookRequest r;
                r.fileName = dir.file("run" + std::to_string(i));
                r.cache = &cache;
                YesPlatform platform;
                NullProgress progress;
                makeBook(bookEntries(pages), r, platform, progress);
                books[i] = test::readFile(r.fileName + ".QFB");
            });
    }
    EXPECT_EQ(books[0], fresh);
    EXPECT_EQ(books[1], fresh);
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.file("cache"))) {
        EXPECT_EQ(e.path().extension(), ".page") << e.path();
        ++files;
    }
    EXPECT_EQ(files, 3u);
    DiskPageCache cache(dir.file("cache"));
    EXPECT_EQ(make(&cache), fresh);
    EXPECT_EQ(cache.hits(), 3u);
}

TEST_F(Pages, MakeWithCacheOnTheCommandLine) {
    auto run = [](std::vector<std::string> args) {
        std::ostringstream out, err;
        const int code = cli::run(args, out, err);
        return std::pair{code, err.str()};
    };
    addThreePages();
    const std::string cacheDir = dir.file("kept/pages");
    const std::vector<std::string> pageArgs = {dir.file("a.bmp"), dir.file("b.bmp"), "--color",
                                               dir.file("c.bmp")};
    auto makeTo = [&](const std::string& name, bool cached) {
        std::vector<std::string> args = {"make", "-q", "-o", dir.file(name)};
        if (cached) args.insert(args.end(), {"--cache", cacheDir});
        args.insert(args.end(), pageArgs.begin(), pageArgs.end());
        const auto [code, err] = run(args);
        EXPECT_EQ(code, 0) << err;
        return test::readFile(dir.file(name + ".QFB"));
    };
    const auto plain = makeTo("plain", false);
    EXPECT_EQ(makeTo("one", true), plain);
    EXPECT_EQ(std::distance(fs::directory_iterator(cacheDir), fs::directory_iterator()), 3);
    EXPECT_EQ(makeTo("two", true), plain);

    EXPECT_EQ(run({"make", "-o", dir.file("x"), dir.file("a.bmp"), "--cache"}).first, 2);
    const auto [code, err] =
        run({"make", "-o", dir.file("x"), "--cache", dir.file("a.bmp"), dir.file("b.bmp")});
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("a.bmp"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir.file("x.QFB")));
}

// ---- time left

TEST(Pace, GuessesOnlyOnceAFewPagesAndASecondHavePassed) {
    using namespace std::chrono_literals;
    struct Case {
        int done, total;
        std::chrono::milliseconds elapsed;
        std::optional<double> rate;
        long long left;
    };
    const Case cases[] = {
        {2, 100, 10s, std::nullopt, 0},    // too few pages
        {50, 100, 900ms, std::nullopt, 0}, // too soon
        {3, 100, 1s, 3.0, 33},             // 97 / 3 per s, rounded up
        {10, 100, 2s, 5.0, 18},
        {100, 100, 4s, 25.0, 0},
        {120, 100, 4s, 30.0, 0}, // more done than counted: nothing left, never negative
    };
    for (const Case& c : cases) {
        Pace pace;
        const auto t0 = Pace::Clock::now();
        pace.start(t0);
        const auto e = pace.at(c.done, c.total, t0 + c.elapsed);
        ASSERT_EQ(e.has_value(), c.rate.has_value()) << c.done << " in " << c.elapsed.count();
        if (!e) continue;
        EXPECT_DOUBLE_EQ(e->pagesPerSecond, *c.rate);
        EXPECT_EQ(e->secondsLeft, c.left) << c.done;
    }
    for (const auto& [seconds, text] :
         {std::pair{0LL, "0:00"}, std::pair{42LL, "0:42"}, std::pair{725LL, "12:05"},
          std::pair{3723LL, "1:02:03"}, std::pair{-5LL, "0:00"}})
        EXPECT_EQ(formatDuration(seconds), text);
}

} // namespace
} // namespace folio
