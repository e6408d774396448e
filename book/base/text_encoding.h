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

namespace folio {

// Text in the given character set (the terminal's, from nl_langinfo(CODESET)) as UTF-8.
// UTF-8 and plain ASCII locales pass the bytes through unchanged.
std::string localeToUtf8(std::string_view text, const char* codeset);
std::string utf8ToLocale(std::string_view text, const char* codeset);

} // namespace folio
