#include "book/base/text_encoding.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace folio {

namespace {

class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts text; on a byte sequence it cannot take, appends replacement and skips the
    // sequence (skip(bytes) tells how long it is).
    template <typename Skip>
    std::string convert(std::string_view text, std::string_view replacement, Skip skip) {
        std::string out;
        char buf[256];
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        while (inLeft > 0) {
            char* o = buf;
            std::size_t oLeft = sizeof buf;
            const std::size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
            out.append(buf, static_cast<std::size_t>(o - buf));
            if (r != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL (a sequence cut at the end): replace and go on.
            out.append(replacement);
            const std::size_t n = std::min(inLeft, skip(std::string_view(in, inLeft)));
            in += n;
            inLeft -= n;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

  private:
    iconv_t cd_;
};

std::size_t utf8SequenceLength(std::string_view s) {
    const auto b = static_cast<unsigned char>(s[0]);
    std::size_t n = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    // Never skip past the first byte that cannot continue the sequence.
    for (std::size_t i = 1; i < n; ++i)
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return i;
    return n;
}

} // namespace

std::string utf8ToCp936(std::string_view utf8) {
    Iconv cd("GBK", "UTF-8");
    return cd.convert(utf8, "?", utf8SequenceLength);
}

std::string cp936ToUtf8(std::string_view cp936) {
    Iconv cd("UTF-8", "GBK");
    return cd.convert(cp936, "\xEF\xBF\xBD", [](std::string_view) { return std::size_t{1}; });
}

} // namespace folio

namespace folio {

namespace {
bool passesThrough(const char* codeset) {
    const std::string cs = codeset ? codeset : "";
    return cs.empty() || cs == "UTF-8" || cs == "utf8" || cs == "ANSI_X3.4-1968" ||
           cs == "US-ASCII" || cs == "ASCII";
}
} // namespace

std::string localeToUtf8(std::string_view text, const char* codeset) {
    if (passesThrough(codeset)) return std::string(text);
    Iconv cd("UTF-8", codeset);
    return cd.convert(text, "?", [](std::string_view) { return std::size_t{1}; });
}

std::string utf8ToLocale(std::string_view text, const char* codeset) {
    if (passesThrough(codeset)) return std::string(text);
    Iconv cd(codeset, "UTF-8");
    return cd.convert(text, "?", utf8SequenceLength);
}

} // namespace folio
