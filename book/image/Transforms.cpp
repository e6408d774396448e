#include "book/image/Image.h"

namespace folio {

bool Image::RotateLeft() { return false; }
bool Image::GrayScale() { return false; }
bool Image::Resample2(std::uint32_t, std::uint32_t, int, int, bool) { return false; }
bool Image::IncreaseBpp24() { return false; }
bool Image::Encode(std::vector<std::uint8_t>&, std::uint32_t) { return false; }

} // namespace folio
