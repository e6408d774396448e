#include "book/pages/file_order.h"

#include "book/base/natural_order.h"

#include "book/image/image_type.h"
#include "book/sources/source.h"

#include <algorithm>
#include <filesystem>

namespace folio {

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
