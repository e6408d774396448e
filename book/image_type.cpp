#include "book/image_type.h"

#include "book/image/codecs/Formats.h"

#include <array>
#include <new>
#include <utility>
#include <vector>

namespace folio {

std::string extensionOf(std::string_view path) {
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) return {};
    return std::string(path.substr(dot + 1));
}

ImageType imageTypeForExtension(std::string_view extension) {
    // Order matters only for readability; every extension appears once.
    static constexpr std::array<std::pair<std::string_view, ImageType>, 26> kTable{{
        {"bmp", kFormatBmp},   {"jpg", kFormatJpeg},  {"jpeg", kFormatJpeg}, {"gif", kFormatGif},
        {"png", kFormatPng},   {"ico", kFormatIco},   {"tiff", kFormatTiff}, {"tif", kFormatTiff},
        {"tga", kFormatTga},   {"pcx", kFormatPcx},   {"wbmp", kFormatWbmp}, {"wmf", kFormatWmf},
        {"emf", kFormatWmf},   {"jp2", kFormatJp2},   {"j2k", kFormatJp2},   {"jpc", kFormatJpc},
        {"j2c", kFormatJpc},   {"pgx", kFormatPgx},   {"ras", kFormatRas},   {"pnm", kFormatPnm},
        {"pgm", kFormatPnm},   {"ppm", kFormatPnm},   {"webp", kFormatWebp}, {"heic", kFormatHeif},
        {"heif", kFormatHeif}, {"avif", kFormatHeif},
    }};
    for (const auto& [ext, type] : kTable)
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

bool probeImageFile(const std::string& path, ImageType type, ImageFacts& facts,
                    std::string& reason) {
    std::vector<std::uint8_t> data;
    if (!readImageFile(path, data, reason)) return false;
    return probeImageMemory(data, type, facts, reason);
}

} // namespace folio
