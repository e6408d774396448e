#include "book/image/codecs/Codecs.h"

namespace folio::codecs {

bool decodeBmp(Bytes, Image&, std::string& err) {
    err = "not implemented";
    return false;
}

bool decodeIconDib(Bytes, Image&, std::string& err) {
    err = "not implemented";
    return false;
}

} // namespace folio::codecs
