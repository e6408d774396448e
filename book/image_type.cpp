#include "book/image_type.h"

#include <array>
#include <utility>

namespace folio {

std::string extensionOf(std::string_view path) {
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) return {};
    return std::string(path.substr(dot + 1));
}

ImageType imageTypeForExtension(std::string_view extension) {
    // Order matters only for readability; every extension appears once.
    static constexpr std::array<std::pair<std::string_view, ImageType>, 22> kTable{{
        {"bmp", kFormatBmp}, {"jpg", kFormatJpeg}, {"jpeg", kFormatJpeg}, {"gif", kFormatGif},
        {"png", kFormatPng}, {"ico", kFormatIco},  {"tiff", kFormatTiff}, {"tif", kFormatTiff},
        {"tga", kFormatTga}, {"pcx", kFormatPcx},  {"wbmp", kFormatWbmp}, {"wmf", kFormatWmf},
        {"emf", kFormatWmf}, {"jp2", kFormatJp2},  {"j2k", kFormatJp2},   {"jpc", kFormatJpc},
        {"j2c", kFormatJpc}, {"pgx", kFormatPgx},  {"ras", kFormatRas},   {"pnm", kFormatPnm},
        {"pgm", kFormatPnm}, {"ppm", kFormatPnm},
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

// stand-in until the header probes land
namespace {
bool factsOf(bool loaded, const Image& image, ImageFacts& facts, std::string& reason) {
    if (!loaded || !image.IsValid()) {
        reason = image.GetLastError();
        return false;
    }
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}
} // namespace

// stand-in until the header probes land
bool probeImageFile(const std::string& path, ImageType type, ImageFacts& facts,
                    std::string& reason) {
    Image image(0);
    return factsOf(image.Load(path, type), image, facts, reason);
}

// stand-in until the header probes land
bool probeImageMemory(std::span<const std::uint8_t> data, ImageType type, ImageFacts& facts,
                      std::string& reason) {
    Image image(0);
    return factsOf(image.LoadMemory(data, type), image, facts, reason);
}

} // namespace folio
