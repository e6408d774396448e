// DjVu documents made by djvulibre's own encoders (c44, cjb2, djvm), for the tests.
#pragma once

#include "tests/test_support.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace folio::test {

inline bool haveDjvuTools() {
    return std::system("command -v c44 cjb2 djvm djvmcvt djvused ddjvu bzz >/dev/null 2>&1") == 0;
}

inline bool shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A photo page (c44, w x h) and a bitonal page (cjb2, w2 x h2) bundled into dir/name; "" when
// the tools failed.
inline std::string writeDjvu(const TempDir& dir, const std::string& name, std::uint32_t w,
                             std::uint32_t h, std::uint32_t w2, std::uint32_t h2) {
    std::string ppm = "P6 " + std::to_string(w) + " " + std::to_string(h) + " 255\n";
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            ppm += static_cast<char>(x * 2);
            ppm += static_cast<char>(y);
            ppm += static_cast<char>(x + y);
        }
    const std::uint32_t rowBytes = (w2 + 7) / 8;
    std::string pbm = "P4 " + std::to_string(w2) + " " + std::to_string(h2) + "\n";
    for (std::uint32_t y = 0; y < h2; ++y)
        pbm += std::string(rowBytes, static_cast<char>((y / 10) % 2 ? 0xF0 : 0x0F));
    writeFile(dir.file("photo.ppm"), ppm);
    writeFile(dir.file("text.pbm"), pbm);
    const std::string out = dir.file(name);
    const bool made =
        shell("c44 " + quoted(dir.file("photo.ppm")) + " " + quoted(dir.file("photo.djvu"))) &&
        shell("cjb2 " + quoted(dir.file("text.pbm")) + " " + quoted(dir.file("text.djvu"))) &&
        shell("djvm -c " + quoted(out) + " " + quoted(dir.file("photo.djvu")) + " " +
              quoted(dir.file("text.djvu")));
    return made ? out : "";
}

} // namespace folio::test
