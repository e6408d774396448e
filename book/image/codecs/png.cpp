#include "book/image/codecs/Codecs.h"

namespace folio::codecs {

bool decodePng(Bytes, Image&, std::string& err) {
    err = "not implemented";
    return false;
}

} // namespace folio::codecs
