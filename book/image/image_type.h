// What image type a file name denotes, and the one way every caller loads a file.
#pragma once

#include "book/image/Image.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace folio {

using ImageType = std::uint32_t;

// Everything after the last '.' anywhere in the path (case kept); "" when there is none.
std::string extensionOf(std::string_view path);
// Case-sensitive lookup in the extension table; 0 when the extension is not in it.
ImageType imageTypeForExtension(std::string_view extension);
// The extension table itself, lower-case extensions with their types.
std::span<const std::pair<std::string_view, ImageType>> imageExtensions();
// The extension, lower-cased, looked up; 0 means "not an image file: never open it".
ImageType imageTypeOfPath(std::string_view path);
// True only when the file decoded and the image now holds it; on false the image keeps
// whatever it held before.
bool loadImageFile(Image& image, const std::string& path, ImageType type);

struct ImageFacts {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bpp = 0;
};
// Header-only look at a file: the width, height and stored depth loadImageFile would report,
// without decoding pixels; false with a reason when the header is refused. The named type's
// probe first, then recognition by content, as for loading. A file whose header is sound but
// whose pixel data is damaged passes here and fails to load.
bool probeImageFile(const std::string& path, ImageType type, ImageFacts& facts,
                    std::string& reason);
bool probeImageMemory(std::span<const std::uint8_t> data, ImageType type, ImageFacts& facts,
                      std::string& reason);

} // namespace folio
