// What every codec of the format table owes its callers, checked on the codec's fuzz seeds and
// on the shared corpus: a new row in the table is held to all of it without a line here.
// Each codec's own quirks (its bombs, its specific refusals) stay in its own test file.
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace folio {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using codecs::Format;

struct Seed {
    std::string name;
    Bytes bytes;
};

// The seeds of the codec's fuzz target and of any target named after another of its
// extensions (EMF's beside WMF's).
std::vector<Seed> seedsOf(const Format& f) {
    std::vector<Seed> seeds;
    std::vector<std::string> names{std::string(f.codec)};
    for (const auto& [extension, type] : imageExtensions())
        if (type == f.type && extension != f.codec) names.emplace_back(extension);
    for (const std::string& name : names) {
        const fs::path dir = fs::path(FOLIO_SEED_DIR) / name;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            seeds.push_back(
                {name + "/" + e.path().filename().string(), test::readFile(e.path().string())});
    }
    std::sort(seeds.begin(), seeds.end(),
              [](const Seed& a, const Seed& b) { return a.name < b.name; });
    return seeds;
}

struct Outcome {
    bool ok = false;
    Image image;
    codecs::DecodeError err;
};

Outcome decode(const Format& f, std::span<const std::uint8_t> data) {
    Outcome o;
    o.ok = f.decode(data, o.image, o.err);
    return o;
}

bool samePicture(const Image& a, const Image& b) {
    return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight() &&
           a.GetBpp() == b.GetBpp() && a.Pixels() == b.Pixels() && a.GetPalette() == b.GetPalette();
}

// A decode that succeeds gives a sane picture; one that fails says why.
void expectClean(const Outcome& o, const std::string& what) {
    if (o.ok) {
        EXPECT_EQ(test::imageFault(o.image), "") << what;
        EXPECT_GE(o.image.GetWidth(), 1u) << what;
        EXPECT_GE(o.image.GetHeight(), 1u) << what;
        EXPECT_LE(o.image.GetWidth(), kMaxImageSide) << what;
        EXPECT_LE(o.image.GetHeight(), kMaxImageSide) << what;
    } else {
        EXPECT_FALSE(o.err.detail.empty()) << what;
    }
}

class CodecContract : public testing::TestWithParam<const Format*> {
  protected:
    const Format& codec() const { return *GetParam(); }
    std::vector<Seed> seeds() const {
        std::vector<Seed> s = seedsOf(codec());
        EXPECT_FALSE(s.empty()) << "no seeds for " << codec().codec;
        return s;
    }
};

TEST_P(CodecContract, EverySeedDecodesAsItsProbeSays) {
    testing::internal::CaptureStderr();
    for (const Seed& s : seeds()) {
        const Outcome o = decode(codec(), s.bytes);
        ASSERT_TRUE(o.ok) << s.name << ": " << o.err.detail;
        expectClean(o, s.name);
        EXPECT_TRUE(codec().sniff(s.bytes)) << s.name;
        codecs::PictureFacts facts;
        codecs::DecodeError err;
        ASSERT_TRUE(codec().probe(s.bytes, facts, err)) << s.name << ": " << err.detail;
        EXPECT_EQ(facts.width, o.image.GetWidth()) << s.name;
        EXPECT_EQ(facts.height, o.image.GetHeight()) << s.name;
        EXPECT_EQ(facts.bpp, o.image.GetBpp()) << s.name;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A file cut short is refused with a reason: never filled up with made-up pixels. The few
// cuts a format survives (a missing trailer, last-row padding, an optional palette) keep
// every pixel of the whole picture, but for the last one of a text format, whose last number
// may be cut to a shorter one; and the probe never refuses what decodes.
TEST_P(CodecContract, EveryCutFailsCleanlyOrKeepsEveryPixel) {
    testing::internal::CaptureStderr();
    for (const Seed& s : seeds()) {
        const Outcome whole = decode(codec(), s.bytes);
        ASSERT_TRUE(whole.ok) << s.name;
        for (std::size_t n = 0; n < s.bytes.size(); ++n) {
            const std::span<const std::uint8_t> cut(s.bytes.data(), n);
            const Outcome o = decode(codec(), cut);
            const std::string what = s.name + " cut to " + std::to_string(n);
            expectClean(o, what);
            if (!o.ok) continue;
            EXPECT_EQ(o.image.GetWidth(), whole.image.GetWidth()) << what;
            EXPECT_EQ(o.image.GetHeight(), whole.image.GetHeight()) << what;
            EXPECT_EQ(o.image.GetBpp(), whole.image.GetBpp()) << what;
            const auto& got = o.image.Pixels();
            const auto& want = whole.image.Pixels();
            const std::size_t last =
                want.size() - std::min(want.size(), whole.image.BytesPerPixel());
            EXPECT_TRUE(got.size() == want.size() &&
                        std::equal(want.begin(), want.begin() + last, got.begin()))
                << what;
            codecs::PictureFacts facts;
            codecs::DecodeError err;
            EXPECT_TRUE(codec().probe(cut, facts, err)) << what << ": " << err.detail;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Noise, text and fills are refused with a reason; behind a seed's first bytes (its signature
// and early header fields) noise is refused or, for a format without checks, decoded sanely;
// no codec takes another codec's seeds.
TEST_P(CodecContract, GarbageAndOtherFormatsAreRefusedWithAReason) {
    const auto text = [](std::string_view t) { return Bytes(t.begin(), t.end()); };
    std::vector<Bytes> garbage = {{},
                                  text("Chapter one.\nIt was a dark and stormy night.\n"),
                                  text("\n\nsome notes\n"),
                                  Bytes(4096, 0),
                                  Bytes(300, 0xFF)};
    std::uint32_t lcg = 12345;
    const auto noise = [&](Bytes b, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            b.push_back(static_cast<std::uint8_t>((lcg = lcg * 1103515245u + 12345u) >> 16));
        return b;
    };
    for (std::size_t n : {1, 7, 64, 200, 400})
        garbage.push_back(noise({}, n));
    std::vector<Bytes> headed; // a seed's head with noise behind: may decode, but cleanly
    for (const Seed& s : seeds())
        for (std::size_t head : {2, 4, 8})
            if (head < s.bytes.size())
                headed.push_back(noise(Bytes(s.bytes.begin(), s.bytes.begin() + head), 300));
    testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        const Outcome o = decode(codec(), garbage[i]);
        EXPECT_FALSE(o.ok) << "garbage " << i;
        EXPECT_FALSE(o.err.detail.empty()) << "garbage " << i;
    }
    for (std::size_t i = 0; i < headed.size(); ++i)
        expectClean(decode(codec(), headed[i]), "seed head and noise " + std::to_string(i));
    for (const Format* other : codecs::codecs()) {
        if (other == GetParam()) continue;
        for (const Seed& s : seedsOf(*other)) {
            const Outcome o = decode(codec(), s.bytes);
            EXPECT_FALSE(o.ok) << codec().codec << " took " << other->codec << "/" << s.name;
            EXPECT_FALSE(o.err.detail.empty()) << other->codec << "/" << s.name;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// No state survives a decode: twice in a row, and on several threads at once, the same
// pixels come out.
TEST_P(CodecContract, DecodesAgainAndOnSeveralThreadsAlike) {
    const std::vector<Seed> all = seeds();
    std::vector<Image> alone;
    for (const Seed& s : all) {
        const Outcome first = decode(codec(), s.bytes), second = decode(codec(), s.bytes);
        ASSERT_TRUE(first.ok && second.ok) << s.name;
        EXPECT_TRUE(samePicture(first.image, second.image)) << s.name;
        alone.push_back(first.image);
    }
    std::vector<int> mismatches(3, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = 0; i < all.size(); ++i) {
                    const Outcome o = decode(codec(), all[(i + t) % all.size()].bytes);
                    if (!o.ok || !samePicture(o.image, alone[(i + t) % all.size()]))
                        ++mismatches[t];
                }
        });
    for (auto& th : threads)
        th.join();
    for (int m : mismatches)
        EXPECT_EQ(m, 0);
}

// The shared corpus folders of every extension whose type this codec decodes: each file
// loads sanely or fails with a reason, silently, and so do its cuts.
TEST_P(CodecContract, CorpusFilesLoadOrFailCleanly) {
    FOLIO_REQUIRE_CORPUS();
    int files = 0, loaded = 0;
    for (const auto& [ext, type] : imageExtensions()) {
        if (codecs::formatOf(type)->codec != codec().codec) continue;
        for (const fs::path& path : test::corpusFiles({std::string(ext).c_str()})) {
            const Bytes file = test::readFile(path.string());
            testing::internal::CaptureStderr();
            const Outcome o = decode(codec(), file);
            expectClean(o, path.string());
            for (std::size_t n : {file.size() / 3, file.size() / 2, file.size() - 1})
                if (n < file.size()) expectClean(decode(codec(), {file.data(), n}), path.string());
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << path;
            ++files;
            loaded += o.ok;
        }
    }
    // Most real files of a format are meant to load; a codec that refuses them all is broken.
    if (files > 0) {
        EXPECT_GT(loaded, 0) << codec().codec;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CodecContract, testing::ValuesIn(codecs::codecs()),
                         [](const auto& info) { return std::string(info.param->codec); });

} // namespace
} // namespace folio
