#include "book/image/codecs/Codecs.h"

namespace folio::codecs {

bool encodeJpeg(const Image&, int, std::vector<std::uint8_t>&, std::string& err) {
    err = "not implemented";
    return false;
}

} // namespace folio::codecs
