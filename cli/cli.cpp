#include "cli/cli.h"

#include "book/image_type.h"

#include <ostream>

namespace folio::cli {

namespace {

int probe(const std::vector<std::string>& files, std::ostream& out) {
    for (const auto& path : files) {
        const ImageType type = imageTypeOfPath(path);
        out << path << '\t' << type << '\t';
        Image image(0);
        if (type != 0 && loadImageFile(image, path, type))
            out << image.GetWidth() << 'x' << image.GetHeight() << 'x' << image.GetBpp();
        else
            out << '-';
        out << '\n';
    }
    return 0;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (!args.empty() && args[0] == "probe")
        return probe({args.begin() + 1, args.end()}, out);
    err << "usage: folioforge probe FILE...\n";
    return 2;
}

} // namespace folio::cli
