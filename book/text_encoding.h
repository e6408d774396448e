// Title and author are stored in code page 936 (GBK); the platform gives UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace folio {

// UTF-8 to code page 936; a character GBK cannot hold (or a malformed byte) becomes '?'.
std::string utf8ToCp936(std::string_view utf8);
// Code page 936 to UTF-8; a malformed byte becomes U+FFFD.
std::string cp936ToUtf8(std::string_view cp936);

} // namespace folio
