#include "book/base/page_names.h"
#include "book/sources/source_internal.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace folio::sources {

namespace {

// poppler reports every syntax error of a damaged file on stderr unless told otherwise; our
// reasons say what the user needs. Installed once, before the first document is opened.
void silencePoppler() {
    static std::once_flag once;
    std::call_once(
        once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

// A PDF's header lies in its first 1024 bytes and its end marker in its last 1024, as every
// reader looks for them; a download cut short has no end marker.
constexpr std::size_t kMarkerWindow = 1024;

bool holds(std::span<const std::uint8_t> bytes, std::string_view text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

struct Ends {
    std::vector<std::uint8_t> head, tail;
};

bool readEnds(const std::string& path, std::uint64_t maxBytes, Ends& ends, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return why = "cannot open file", false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return why = "cannot read file", false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > maxBytes) return why = "file too large", false;
    auto readAt = [&](std::vector<std::uint8_t>& out, std::uint64_t offset) {
        out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kMarkerWindow, size)));
        std::size_t have = 0;
        while (have < out.size()) {
            const ssize_t n = ::pread(fd, out.data() + have, out.size() - have,
                                      static_cast<off_t>(offset + have));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!readAt(ends.head, 0) ||
        !readAt(ends.tail, size - std::min<std::uint64_t>(size, kMarkerWindow)))
        return why = "cannot read file", false;
    return true;
}

// What poppler cannot say (it only returns no document): whether the file was a PDF at all,
// and whether it was cut short.
bool endsSound(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail,
               std::string& why) {
    if (!holds(head, "%PDF-")) return why = "not a PDF file", false;
    if (!holds(tail, "%%EOF")) return why = "truncated PDF: its end is missing", false;
    return true;
}

std::size_t memberLimit(const SourceLimits& limits) {
    return std::min<std::size_t>(limits.maxMembers, INT_MAX);
}

} // namespace

PdfDocument::PdfDocument() = default;
PdfDocument::~PdfDocument() = default;

std::unique_ptr<PdfDocument> PdfDocument::checked(std::unique_ptr<poppler::document> doc,
                                                  const SourceLimits& limits, std::string& why) {
    if (!doc) return why = "damaged PDF: it cannot be read", nullptr;
    if (doc->is_locked()) return why = "encrypted: PDFs with a password are not read", nullptr;
    const int pages = doc->pages();
    if (pages <= 0) return why = "the PDF has no pages", nullptr;
    if (static_cast<std::size_t>(pages) > memberLimit(limits))
        return why = "more than " + std::to_string(memberLimit(limits)) + " pages", nullptr;
    std::unique_ptr<PdfDocument> pdf(new (std::nothrow) PdfDocument());
    if (!pdf) return why = "out of memory", nullptr;
    pdf->doc_ = std::move(doc);
    pdf->pages_ = static_cast<std::size_t>(pages);
    return pdf;
}

std::unique_ptr<PdfDocument> PdfDocument::openFile(const std::string& path,
                                                   const SourceLimits& limits, std::string& why) {
    Ends ends;
    if (!readEnds(path, memberByteLimit(limits), ends, why) ||
        !endsSound(ends.head, ends.tail, why))
        return nullptr;
    silencePoppler();
    return checked(std::unique_ptr<poppler::document>(poppler::document::load_from_file(path)),
                   limits, why);
}

std::unique_ptr<PdfDocument> PdfDocument::openMemory(std::span<const std::uint8_t> data,
                                                     const SourceLimits& limits, std::string& why) {
    if (data.size() > memberByteLimit(limits) || data.size() > INT_MAX)
        return why = "file too large", nullptr;
    const std::size_t window = std::min(data.size(), kMarkerWindow);
    if (!endsSound(data.first(window), data.last(window), why)) return nullptr;
    silencePoppler();
    return checked(std::unique_ptr<poppler::document>(poppler::document::load_from_raw_data(
                       reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()))),
                   limits, why);
}

bool PdfDocument::renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                             std::string& why) const {
    if (index >= pages_) return why = "no such page in the PDF", false;
    const std::unique_ptr<poppler::page> page(doc_->create_page(static_cast<int>(index)));
    if (!page) return why = "damaged PDF: the page cannot be read", false;
    // The crop box is what a viewer shows; a quarter-turned page (its /Rotate) renders with
    // its sides swapped.
    const poppler::rectf box = page->page_rect(poppler::crop_box);
    double w = std::fabs(box.width()), h = std::fabs(box.height());
    if (page->orientation() == poppler::page::landscape ||
        page->orientation() == poppler::page::seascape)
        std::swap(w, h);
    if (!std::isfinite(w) || !std::isfinite(h) || w < 1e-3 || h < 1e-3)
        return why = "damaged PDF: the page has no size", false;
    return uprightRenderSize(w, h, height, facts, why);
}

bool uprightRenderSize(double w, double h, std::uint32_t height, ImageFacts& facts,
                       std::string& why) {
    // Upright, the short side is the page's height: the book turns a portrait page.
    const double scale = height / std::min(w, h);
    const double pw = std::max(1.0, std::round(w * scale));
    const double ph = std::max(1.0, std::round(h * scale));
    if (pw > kMaxImageSide || ph > kMaxImageSide || pw * ph > double(kMaxImagePixels))
        return why = "page too large to render: " +
                     std::to_string(static_cast<long long>(std::min(pw, 1e15))) + "x" +
                     std::to_string(static_cast<long long>(std::min(ph, 1e15))) + " pixels",
               false;
    facts.width = static_cast<std::uint32_t>(pw);
    facts.height = static_cast<std::uint32_t>(ph);
    facts.bpp = 24;
    return true;
}

bool PdfDocument::render(std::size_t index, std::uint32_t height, Image& out,
                         std::string& why) const {
    ImageFacts size;
    if (!renderSize(index, height, size, why)) return false;
    if (!out.Create(size.width, size.height, 24, &why)) return false;
    const std::unique_ptr<poppler::page> page(doc_->create_page(static_cast<int>(index)));
    if (!page) return why = "damaged PDF: the page cannot be read", false;
    const poppler::rectf box = page->page_rect(poppler::crop_box);
    const double side = std::min(std::fabs(box.width()), std::fabs(box.height()));
    const double dpi = 72.0 * height / side;
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(poppler::image::format_rgb24);
    // The slice asks for exactly the probed size, so the row and the page always agree.
    const poppler::image picture = renderer.render_page(
        page.get(), dpi, dpi, 0, 0, static_cast<int>(size.width), static_cast<int>(size.height));
    const std::size_t rowBytes = out.Stride();
    if (!picture.is_valid() || picture.format() != poppler::image::format_rgb24 ||
        picture.width() != static_cast<int>(size.width) ||
        picture.height() != static_cast<int>(size.height) || picture.bytes_per_row() < 0 ||
        static_cast<std::size_t>(picture.bytes_per_row()) < rowBytes || !picture.const_data()) {
        out.Clear();
        return why = "the page cannot be rendered", false;
    }
    const auto* src = reinterpret_cast<const std::uint8_t*>(picture.const_data());
    const auto stride = static_cast<std::size_t>(picture.bytes_per_row());
    for (std::uint32_t y = 0; y < size.height; ++y)
        std::memcpy(out.Row(y), src + y * stride, rowBytes);
    return true;
}

namespace {
std::string utf8Of(const poppler::ustring& text) {
    const poppler::byte_array bytes = text.to_utf8();
    return {bytes.begin(), bytes.end()};
}
} // namespace

std::string PdfDocument::title() const {
    return utf8Of(doc_->get_title());
}

std::string PdfDocument::author() const {
    return utf8Of(doc_->get_author());
}

bool pdfPageIndex(std::string_view member, std::size_t& index) {
    return parsePageNumber(member, index);
}

std::unique_ptr<RenderedDocument> openPdf(const std::string& path, const SourceLimits& limits,
                                          std::string& why) {
    return PdfDocument::openFile(path, limits, why);
}

ArchiveMembers listPdf(const std::string& path, const SourceLimits& limits) {
    ArchiveMembers result;
    const auto pdf = PdfDocument::openFile(path, limits, result.error);
    if (!pdf) return result;
    for (std::size_t i = 0; i < pdf->pages(); ++i)
        result.pages.push_back(pdfPageName(i));
    return result;
}

void renderEveryPage(const RenderedDocument& doc, std::uint32_t renderHeight, MemoryPdfRun& run) {
    run.pages = doc.pages();
    for (std::size_t i = 0; i < run.pages; ++i) {
        Image image;
        std::string why;
        if (doc.render(i, renderHeight, image, why)) {
            run.rendered.push_back({image.GetWidth(), image.GetHeight(), image.GetBpp()});
            why.clear();
        } else {
            run.rendered.push_back({});
        }
        run.reasons.push_back(std::move(why));
    }
}

MemoryPdfRun runPdfInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits,
                            std::uint32_t renderHeight) {
    MemoryPdfRun run;
    const auto pdf = PdfDocument::openMemory(data, limits, run.error);
    if (!pdf) return run;
    renderEveryPage(*pdf, renderHeight, run);
    return run;
}

} // namespace folio::sources
