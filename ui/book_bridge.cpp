#include "ui/book_bridge.h"

#include "book/image/Image.h"
#include "book/image/image_type.h"
#include "book/making/page_planner.h"
#include "book/sources/source.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace folio::ui {

QImage toQImage(const Image& image) {
    const int w = static_cast<int>(image.GetWidth());
    const int h = static_cast<int>(image.GetHeight());
    if (!image.IsValid() || w <= 0 || h <= 0) return {};
    const bool indexed = image.IsIndexed();
    QImage out(w, h, indexed ? QImage::Format_Indexed8 : QImage::Format_RGB888);
    if (out.isNull()) return {}; // no memory for the copy
    if (indexed) {
        QList<QRgb> table;
        table.reserve(static_cast<qsizetype>(image.GetPalette().size()));
        for (const Rgb& c : image.GetPalette())
            table.push_back(qRgb(c.r, c.g, c.b));
        out.setColorTable(table);
    }
    const std::size_t rowBytes = image.Stride();
    for (int y = 0; y < h; ++y)
        std::memcpy(out.scanLine(y), image.Row(static_cast<std::uint32_t>(y)), rowBytes);
    return out;
}

PreviewPicture loadPreviewPicture(const std::string& path) {
    PreviewPicture result;
    const PageRef page = resolvePage(path);
    if (page.kind == PageKind::None) return result;
    result.hasType = true;
    Image image(0);
    std::string why;
    SourceReader sources;
    result.loaded = loadPage(page, sources, image, why);
    if (result.loaded) result.image = toQImage(image);
    if (result.image.isNull()) result.loaded = false;
    return result;
}

BookPages renderRowPage(const PageJob& job, const std::vector<BookEntry>& strip, int index) {
    BookPages result;
    if (job.page.kind == PageKind::None || (!job.options.splitSpreads && !job.options.strips)) {
        result.picture = renderBookPage(job);
        return result;
    }
    SourceReader sources;
    const std::vector<BookEntry> alone = {BookEntry{job.page, job.gray, 0}};
    const std::vector<PlannedPage> planned =
        planPages(strip.empty() ? alone : strip, job.options, sources);
    std::vector<const PlannedPage*> mine;
    for (const PlannedPage& p : planned)
        if (p.entry.page == job.page) mine.push_back(&p);
    if (mine.empty())
        for (const PlannedPage& p : planned)
            if (std::find(p.part.slices.begin(), p.part.slices.end(), job.page) !=
                p.part.slices.end()) {
                mine.push_back(&p);
                break;
            }
    if (mine.empty()) {
        result.picture = renderBookPage(job);
        return result;
    }
    result.count = static_cast<int>(mine.size());
    result.index = std::clamp(index, 0, result.count - 1);
    PageJob one = job;
    one.part = mine[static_cast<std::size_t>(result.index)]->part;
    result.picture = renderBookPage(one);
    return result;
}

BookPicture renderBookPage(const PageJob& job) {
    BookPicture result;
    if (job.page.kind == PageKind::None) return result;
    result.hasType = true;
    result.page = makePage(job, nullptr, nullptr);
    if (!result.page.ok) {
        result.reason = QString::fromStdString(result.page.reason);
        return result;
    }
    Image decoded(0);
    if (!decoded.LoadMemory(*result.page.jpeg, kFormatJpeg) || !decoded.IsValid()) {
        result.reason = QString::fromStdString(decoded.GetLastError());
        return result;
    }
    result.image = toQImage(decoded);
    result.ok = !result.image.isNull();
    if (!result.ok) result.reason = QStringLiteral("out of memory");
    return result;
}

} // namespace folio::ui
