#include "book/base/file_read.h"
#include "book/base/page_names.h"
#include "book/image/Image.h"
#include "book/sources/source_internal.h"

#include <libdjvu/ddjvuapi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace folio::sources {

namespace {

struct ContextRelease {
    void operator()(ddjvu_context_t* c) const { ddjvu_context_release(c); }
};
struct DocumentRelease {
    void operator()(ddjvu_document_t* d) const { ddjvu_document_release(d); }
};
struct PageRelease {
    void operator()(ddjvu_page_t* p) const { ddjvu_page_release(p); }
};
struct FormatRelease {
    void operator()(ddjvu_format_t* f) const { ddjvu_format_release(f); }
};

// Not a file: URL, which djvulibre would open by itself (and wait on forever when it cannot):
// under any other scheme it asks for every file it needs, and gets only what passes here.
constexpr const char* kDocumentUrl = "folio://document/index.djvu";

bool startsAsDjvu(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view kMagic = "AT&TFORM";
    return bytes.size() >= 16 && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
}

// A component of an indirect document is read only when its name is a plain file name, so
// it lies beside the index file and nowhere else.
bool plainName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

std::size_t pageLimit(const SourceLimits& limits) {
    return std::min<std::size_t>(limits.maxMembers, INT_MAX);
}

class DjvuDocument final : public RenderedDocument {
  public:
    // folder: where an indirect document's components lie; empty refuses them.
    static std::unique_ptr<DjvuDocument> open(std::vector<std::uint8_t> bytes, std::string folder,
                                              const SourceLimits& limits, std::string& why);

    std::size_t pages() const override { return pages_; }
    bool renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                    std::string& why) const override;
    bool render(std::size_t index, std::uint32_t height, Image& out,
                std::string& why) const override;

  private:
    DjvuDocument() = default;
    // Every message waiting (none of them reaches the terminal); blocks for one first.
    void pump(bool wait) const;
    void serve(const ddjvu_message_t& m) const;
    bool pageInfo(std::size_t index, ddjvu_pageinfo_t& info, std::string& why) const;
    // Every component of an indirect document named by a plain file name.
    bool componentsBeside(const SourceLimits& limits, std::string& why) const;

    std::unique_ptr<ddjvu_context_t, ContextRelease> context_;
    std::unique_ptr<ddjvu_document_t, DocumentRelease> document_;
    mutable std::vector<std::uint8_t> main_; // handed over on its first request
    std::string folder_;
    std::uint64_t maxBytes_ = 0;
    mutable std::uint64_t fedBytes_ = 0;
    mutable std::string refused_; // why a component was not given
    mutable std::size_t refusals_ = 0;
    std::size_t pages_ = 0;
};

void DjvuDocument::serve(const ddjvu_message_t& m) const {
    if (m.m_any.tag != DDJVU_NEWSTREAM) return;
    const int id = m.m_newstream.streamid;
    ddjvu_document_t* doc = document_.get();
    if (id == 0) {
        ddjvu_stream_write(doc, 0, reinterpret_cast<const char*>(main_.data()), main_.size());
        ddjvu_stream_close(doc, 0, 0);
        fedBytes_ = main_.size();
        main_ = {};
        return;
    }
    const std::string_view name = m.m_newstream.name ? m.m_newstream.name : "";
    std::vector<std::uint8_t> bytes;
    std::string ignored;
    if (folder_.empty())
        refused_ = "an indirect DjVu document's components are not read here";
    else if (!plainName(name))
        refused_ = "a component of the DjVu document lies outside its folder";
    else if (!readWholeFile(folder_ + "/" + std::string(name), maxBytes_ - fedBytes_, bytes,
                            ignored))
        refused_ = "a component of the DjVu document cannot be read: " + std::string(name);
    else {
        fedBytes_ += bytes.size();
        ddjvu_stream_write(doc, id, reinterpret_cast<const char*>(bytes.data()), bytes.size());
        ddjvu_stream_close(doc, id, 0);
        return;
    }
    ++refusals_;
    ddjvu_stream_close(doc, id, 1);
}

bool DjvuDocument::componentsBeside(const SourceLimits& limits, std::string& why) const {
    const int files = ddjvu_document_get_filenum(document_.get());
    if (files < 0 || static_cast<std::size_t>(files) > pageLimit(limits))
        return why = "more than " + std::to_string(pageLimit(limits)) + " pages", false;
    if (folder_.empty())
        return why = "an indirect DjVu document's components are not read here", false;
    for (int i = 0; i < files; ++i) {
        ddjvu_fileinfo_t info{};
        ddjvu_status_t status;
        while ((status = ddjvu_document_get_fileinfo(document_.get(), i, &info)) < DDJVU_JOB_OK)
            pump(true);
        if (status != DDJVU_JOB_OK) return why = "damaged DjVu document: it cannot be read", false;
        if (!info.name || !plainName(info.name) || (info.id && !plainName(info.id)))
            return why = "a component of the DjVu document lies outside its folder", false;
    }
    return true;
}

void DjvuDocument::pump(bool wait) const {
    if (wait) ddjvu_message_wait(context_.get());
    while (const ddjvu_message_t* m = ddjvu_message_peek(context_.get())) {
        serve(*m);
        ddjvu_message_pop(context_.get());
    }
}

std::unique_ptr<DjvuDocument> DjvuDocument::open(std::vector<std::uint8_t> bytes,
                                                 std::string folder, const SourceLimits& limits,
                                                 std::string& why) {
    const std::uint64_t maxBytes = memberByteLimit(limits);
    if (bytes.size() > maxBytes) return why = "file too large", nullptr;
    if (!startsAsDjvu(bytes)) return why = "not a DjVu file", nullptr;
    std::unique_ptr<DjvuDocument> d(new (std::nothrow) DjvuDocument());
    if (!d) return why = "out of memory", nullptr;
    d->main_ = std::move(bytes);
    d->folder_ = std::move(folder);
    d->maxBytes_ = maxBytes;
    d->context_.reset(ddjvu_context_create("folioforge"));
    if (!d->context_) return why = "out of memory", nullptr;
    d->document_.reset(ddjvu_document_create(d->context_.get(), kDocumentUrl, 0));
    if (!d->document_) return why = "damaged DjVu document: it cannot be read", nullptr;
    ddjvu_job_t* job = ddjvu_document_job(d->document_.get());
    d->pump(false);
    while (ddjvu_job_status(job) < DDJVU_JOB_OK)
        d->pump(true);
    d->pump(false);
    if (ddjvu_job_status(job) != DDJVU_JOB_OK)
        return why = d->refused_.empty() ? "damaged DjVu document: it cannot be read" : d->refused_,
               nullptr;
    // An old indexed document names its pages' files by URL: never read. An indirect one's
    // component names are checked before any is asked for (djvulibre would first make a URL of
    // a name such as "../x", and loops forever on some).
    const ddjvu_document_type_t type = ddjvu_document_get_type(d->document_.get());
    if (type == DDJVU_DOCTYPE_OLD_INDEXED)
        return why = "an old indexed DjVu document is not read", nullptr;
    if (type == DDJVU_DOCTYPE_INDIRECT && !d->componentsBeside(limits, why)) return nullptr;
    const int pages = ddjvu_document_get_pagenum(d->document_.get());
    if (pages <= 0) return why = "the DjVu document has no pages", nullptr;
    if (static_cast<std::size_t>(pages) > pageLimit(limits))
        return why = "more than " + std::to_string(pageLimit(limits)) + " pages", nullptr;
    d->pages_ = static_cast<std::size_t>(pages);
    return d;
}

bool DjvuDocument::pageInfo(std::size_t index, ddjvu_pageinfo_t& info, std::string& why) const {
    if (index >= pages_) return why = "no such page in the DjVu document", false;
    // A page whose file was refused is asked for again on every call: one refusal ends it.
    const std::size_t refusals = refusals_;
    ddjvu_status_t status;
    while ((status = ddjvu_document_get_pageinfo(document_.get(), static_cast<int>(index), &info)) <
               DDJVU_JOB_OK &&
           refusals_ == refusals)
        pump(true);
    pump(false);
    if (status != DDJVU_JOB_OK || refusals_ != refusals)
        return why = refused_.empty() ? "damaged DjVu document: the page cannot be read" : refused_,
               false;
    // The page is decoded at its own size before it is scaled: that size has the limits too.
    if (info.width <= 0 || info.height <= 0)
        return why = "damaged DjVu document: the page has no size", false;
    if (static_cast<std::uint64_t>(info.width) > kMaxImageSide ||
        static_cast<std::uint64_t>(info.height) > kMaxImageSide ||
        static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) >
            kMaxImagePixels)
        return why = "page too large to render: " + std::to_string(info.width) + "x" +
                     std::to_string(info.height) + " pixels",
               false;
    return true;
}

bool DjvuDocument::renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                              std::string& why) const {
    ddjvu_pageinfo_t info{};
    if (!pageInfo(index, info, why)) return false;
    // djvulibre gives the size with the page's own rotation (its INFO chunk) applied already,
    // as it renders it.
    return uprightRenderSize(info.width, info.height, height, facts, why);
}

bool DjvuDocument::render(std::size_t index, std::uint32_t height, Image& out,
                          std::string& why) const {
    ImageFacts size;
    if (!renderSize(index, height, size, why)) return false;
    const std::unique_ptr<ddjvu_page_t, PageRelease> page(
        ddjvu_page_create_by_pageno(document_.get(), static_cast<int>(index)));
    if (!page) return why = "damaged DjVu document: the page cannot be read", false;
    ddjvu_job_t* job = ddjvu_page_job(page.get());
    const std::size_t refusals = refusals_;
    pump(false);
    while (ddjvu_job_status(job) < DDJVU_JOB_OK && refusals_ == refusals)
        pump(true);
    pump(false);
    if (refusals_ != refusals) return why = refused_, false;
    if (ddjvu_job_status(job) != DDJVU_JOB_OK)
        return why = "damaged DjVu document: the page cannot be decoded", false;
    const std::unique_ptr<ddjvu_format_t, FormatRelease> format(
        ddjvu_format_create(DDJVU_FORMAT_RGB24, 0, nullptr));
    if (!format) return why = "out of memory", false;
    ddjvu_format_set_row_order(format.get(), 1);
    ddjvu_format_set_y_direction(format.get(), 1);
    if (!out.Create(size.width, size.height, 24, &why)) return false;
    ddjvu_rect_t rect{0, 0, size.width, size.height};
    // A page with no layer to draw is blank, as djvulibre's own tools show it.
    if (!ddjvu_page_render(page.get(), DDJVU_RENDER_COLOR, &rect, &rect, format.get(), out.Stride(),
                           reinterpret_cast<char*>(out.Row(0))))
        std::memset(out.Row(0), 0xFF, out.Stride() * size.height);
    pump(false);
    return true;
}

std::unique_ptr<DjvuDocument> openDjvuFile(const std::string& path, const SourceLimits& limits,
                                           std::string& why) {
    std::vector<std::uint8_t> bytes;
    if (!readWholeFile(path, memberByteLimit(limits), bytes, why)) return nullptr;
    const std::size_t slash = path.rfind('/');
    // Built by append rather than from literals: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // a std::string assigned a literal.
    std::string folder;
    if (slash == std::string::npos)
        folder.push_back('.');
    else if (slash == 0)
        folder.push_back('/');
    else
        folder.append(path, 0, slash);
    return DjvuDocument::open(std::move(bytes), std::move(folder), limits, why);
}

} // namespace

std::unique_ptr<RenderedDocument> openDjvu(const std::string& path, const SourceLimits& limits,
                                           std::string& why) {
    return openDjvuFile(path, limits, why);
}

ArchiveMembers listDjvu(const std::string& path, const SourceLimits& limits) {
    ArchiveMembers result;
    const auto doc = openDjvuFile(path, limits, result.error);
    if (!doc) return result;
    for (std::size_t i = 0; i < doc->pages(); ++i)
        result.pages.push_back(pageNumberName(i));
    return result;
}

MemoryDjvuRun runDjvuInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits,
                              std::uint32_t renderHeight) {
    MemoryDjvuRun run;
    const auto doc = DjvuDocument::open(std::vector<std::uint8_t>(data.begin(), data.end()), {},
                                        limits, run.error);
    if (!doc) return run;
    renderEveryPage(*doc, renderHeight, run);
    return run;
}

} // namespace folio::sources
