#include "book/pages/file_order.h"

#include "book/image/image_type.h"
#include "book/sources/source.h"

#include <algorithm>
#include <filesystem>

namespace folio {

namespace {
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// <0, 0, >0 like strcmp, ignoring case and comparing digit runs by value.
int naturalCompare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie]))
                ++ie;
            while (je < b.size() && isDigit(b[je]))
                ++je;
            std::size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0')
                ++is;
            while (js + 1 < je && b[js] == '0')
                ++js;
            if (ie - is != je - js) return ie - is < je - js ? -1 : 1;
            if (int c = a.substr(is, ie - is).compare(b.substr(js, je - js)); c != 0) return c;
            i = ie;
            j = je;
            continue;
        }
        const char x = lower(a[i]), y = lower(b[j]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}
} // namespace

bool naturalLess(std::string_view a, std::string_view b) {
    const int c = naturalCompare(a, b);
    return c != 0 ? c < 0 : a < b;
}

namespace {
std::vector<std::string> imageFilesIn(const std::string& dir, std::error_code& ec) {
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code entry; // one entry that cannot be looked at is not a page, no more
        if (!it->is_regular_file(entry) || imageTypeOfPath(name) == 0) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& n : names)
        paths.push_back((std::filesystem::path(dir) / n).string());
    return paths;
}
} // namespace

std::vector<std::string> imageFilesIn(const std::string& dir) {
    std::error_code ec;
    return imageFilesIn(dir, ec);
}

Expansion expandPaths(const std::vector<std::string>& paths) {
    Expansion out;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (isContainerFile(path)) {
            ContainerListing listing = listContainer(path);
            out.pages.insert(out.pages.end(), listing.pages.begin(), listing.pages.end());
            out.leftOut.insert(out.leftOut.end(), listing.skipped.begin(), listing.skipped.end());
            continue;
        }
        if (!std::filesystem::is_directory(path, ec)) {
            out.pages.push_back(path);
            continue;
        }
        const std::vector<std::string> files = imageFilesIn(path, ec);
        if (ec)
            out.leftOut.push_back({-1, path, "cannot read folder: " + ec.message()});
        else if (files.empty())
            out.leftOut.push_back({-1, path, "folder holds no image files"});
        else
            out.pages.insert(out.pages.end(), files.begin(), files.end());
    }
    return out;
}

} // namespace folio
