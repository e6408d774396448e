#include "book/image/image_type.h"

#include "book/image/codecs/Formats.h"

#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace folio {

std::string extensionOf(std::string_view path) {
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) return {};
    return std::string(path.substr(dot + 1));
}

std::span<const std::pair<std::string_view, ImageType>> imageExtensions() {
    // Order matters only for readability; every extension appears once.
    static constexpr std::array<std::pair<std::string_view, ImageType>, 27> kTable{{
        {"bmp", kFormatBmp},   {"jpg", kFormatJpeg},  {"jpeg", kFormatJpeg}, {"gif", kFormatGif},
        {"png", kFormatPng},   {"ico", kFormatIco},   {"tiff", kFormatTiff}, {"tif", kFormatTiff},
        {"tga", kFormatTga},   {"pcx", kFormatPcx},   {"wbmp", kFormatWbmp}, {"wmf", kFormatWmf},
        {"emf", kFormatWmf},   {"jp2", kFormatJp2},   {"j2k", kFormatJp2},   {"jpc", kFormatJpc},
        {"j2c", kFormatJpc},   {"pgx", kFormatPgx},   {"ras", kFormatRas},   {"pnm", kFormatPnm},
        {"pgm", kFormatPnm},   {"ppm", kFormatPnm},   {"webp", kFormatWebp}, {"heic", kFormatHeif},
        {"heif", kFormatHeif}, {"avif", kFormatHeif}, {"jxl", kFormatJxl},
    }};
    return kTable;
}

ImageType imageTypeForExtension(std::string_view extension) {
    for (const auto& [ext, type] : imageExtensions())
        if (ext == extension) return type;
    return kFormatNone;
}

ImageType imageTypeOfPath(std::string_view path) {
    std::string ext = extensionOf(path);
    if (ext.empty()) return kFormatNone;
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return imageTypeForExtension(ext);
}

bool loadImageFile(Image& image, const std::string& path, ImageType type) {
    return image.Load(path, type) && image.IsValid();
}

bool probeImageMemory(std::span<const std::uint8_t> data, ImageType type, ImageFacts& facts,
                      std::string& reason) {
    try {
        codecs::PictureFacts found;
        std::uint32_t as = kFormatNone;
        codecs::DecodeError err;
        if (!codecs::probeAny(data, type, found, as, err)) {
            reason = err.detail;
            return false;
        }
        facts = ImageFacts{found.width, found.height, found.bpp};
        return true;
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
        return false;
    }
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool readAt(std::FILE* f, long at, std::size_t n, std::uint8_t* out) {
    return std::fseek(f, at, SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

// A JPEG's facts from its head alone, for a file that ends in its end-of-image marker. The
// JPEG probe reads the headers up to the first scan and then asks for an end-of-image marker
// after it. The head with FF D9 put behind it is probed twice, cut 64 bytes short and
// whole: both pass only when the headers up to the end of the first scan header (at most
// 16 bytes) lie inside the head, so they were read from the file's own bytes, and the
// file's last two bytes are the marker the whole-file probe finds behind them. So the answer
// is the whole-file probe's; when it cannot be had this way (headers past the largest head,
// no marker at the very end, any refusal), false and the caller reads the whole file.
bool probeJpegHead(const std::string& path, ImageFacts& facts) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return false;
    const long size = std::ftell(f.get());
    if (size < 4 || static_cast<std::uint64_t>(size) > kMaxFileBytes) return false;
    std::uint8_t end[2];
    if (!readAt(f.get(), size - 2, 2, end) || end[0] != 0xFF || end[1] != 0xD9) return false;
    std::vector<std::uint8_t> head;
    for (const long want : {long{64} << 10, long{1} << 20}) {
        if (want >= size - 2) return false; // as cheap to read it all
        head.resize(static_cast<std::size_t>(want) + 2);
        if (!readAt(f.get(), 0, static_cast<std::size_t>(want), head.data())) return false;
        if (head[0] != 0xFF || head[1] != 0xD8) return false;
        std::string ignored;
        ImageFacts cut, whole;
        std::vector<std::uint8_t> shorter(head.begin(), head.end() - 66);
        shorter.insert(shorter.end(), {0xFF, 0xD9});
        head[static_cast<std::size_t>(want)] = 0xFF;
        head[static_cast<std::size_t>(want) + 1] = 0xD9;
        if (probeImageMemory(shorter, kFormatJpeg, cut, ignored) &&
            probeImageMemory(head, kFormatJpeg, whole, ignored)) {
            facts = whole;
            return true;
        }
    }
    return false;
}

} // namespace

bool probeImageFile(const std::string& path, ImageType type, ImageFacts& facts,
                    std::string& reason) {
    // Photos are most of what is added and the largest files; their headers are at the front.
    if (type == kFormatJpeg && probeJpegHead(path, facts)) return true;
    std::vector<std::uint8_t> data;
    if (!readImageFile(path, data, reason)) return false;
    return probeImageMemory(data, type, facts, reason);
}

} // namespace folio
