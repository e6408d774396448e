#include "book/image/codecs/Codecs.h"

namespace folio::codecs {

bool decodeJpeg2000(Bytes, Image&, std::string& err) {
    err = "not implemented";
    return false;
}

} // namespace folio::codecs
