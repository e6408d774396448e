#include "book/making/book_builder.h"

#include "book/base/atomic_file.h"
#include "book/base/text_encoding.h"
#include "book/format/book_check.h"
#include "book/format/book_header.h"
#include "book/image/image_type.h"
#include "book/making/page_planner.h"
#include "book/making/page_shape.h"
#include "book/making/volumes.h"
#include "book/sources/source.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace folio {

std::string bookFileName(const std::string& text) {
    std::string name = text.empty() ? "noname" : text;
    constexpr std::string_view kExt = ".QFB";
    bool hasExt = name.size() >= kExt.size();
    for (std::size_t i = 0; hasExt && i < kExt.size(); ++i) {
        char c = name[name.size() - kExt.size() + i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        hasExt = c == kExt[i];
    }
    if (!hasExt) name += kExt;
    return name;
}

bool preparePageImage(Image& image, bool gray, std::string& reason) {
    // A failed step must not let a portrait, colour or wrongly sized page into the book.
    // Indices cannot be blended, so a palette picture is made gray or true colour first; a
    // true-colour one is scaled first, so that turning and graying touch the small page
    // rather than the whole photo (the same page, up to rounding).
    if (image.IsIndexed()) {
        if (gray) {
            if (!image.GrayScale()) {
                reason = "cannot convert the page to gray (out of memory)";
                return false;
            }
        } else if (!image.IsGrayRamp() && !image.IncreaseBpp24()) {
            // A colour page held as a palette image is written in true colour, not dropped.
            reason = "cannot convert the page to true colour (out of memory)";
            return false;
        }
    }
    const bool portrait = image.GetWidth() < image.GetHeight();
    const PageSize page = pageSizeBeforeTurn(image.GetWidth(), image.GetHeight(), kPageHeight);
    if (page.width != image.GetWidth() || page.height != image.GetHeight()) {
        if (!image.Resample2(page.width, page.height, 2, 5, false)) {
            reason = "cannot scale the page (out of memory)";
            return false;
        }
    }
    if (portrait && !image.RotateLeft()) {
        reason = "cannot turn the page (out of memory)";
        return false;
    }
    if (gray && !image.IsIndexed() && !image.GrayScale()) {
        reason = "cannot convert the page to gray (out of memory)";
        return false;
    }
    return true;
}

bool encodePage(Image& image, bool gray, int quality, std::vector<std::uint8_t>& jpeg,
                std::string& reason) {
    if (!preparePageImage(image, gray, reason)) return false;
    image.SetJpegQuality(static_cast<std::uint8_t>(std::clamp(quality, 0, 100)));
    jpeg.clear();
    if (!image.Encode(jpeg, kFormatJpeg)) {
        reason = "refused by the JPEG encoder";
        return false;
    }
    return true;
}

namespace {

// The decoded picture, its gray or colour decided, cut, turned, scaled and encoded.
MadePage finishPage(Image& image, const PageJob& job, MadePage result, PageCache* cache,
                    const PageSettings& settings, const Source& source) {
    // A half's margins were cut on the whole spread, before it was halved.
    const bool half =
        job.part.kind == PagePart::Kind::LeftHalf || job.part.kind == PagePart::Kind::RightHalf;
    if (job.options.crop && !half && !cropToContent(image, result.reason)) return result;
    auto jpeg = std::make_shared<std::vector<std::uint8_t>>();
    result.ok = encodePage(image, result.gray, result.quality, *jpeg, result.reason);
    result.quality = std::clamp(result.quality, 0, 100);
    if (!result.ok) return result;
    result.jpeg = std::move(jpeg);
    if (cache) cache->store(settings, source, result.jpeg);
    return result;
}

// A member has no identity of its own on disk: it is read up front through its container's
// reader (the memory cache passes it by, the disk cache keys it by its content).
void readIfMember(const PageRef& page, SourceReader& sources, Source& source) {
    source.path = page.path;
    if (page.kind != PageKind::Member) return;
    source.read = true;
    if (!sources.read(page, source.bytes, source.error) && source.error.empty())
        source.error = "cannot read member";
}

// The picture a page is made from: a rendered page rendered (the slow step, on a worker
// thread while a book is made), or the file (or the member readIfMember read) decoded.
// Margins are found on the whole picture; otherwise a JPEG comes reduced as it decodes.
// Colour is judged on colour pixels, so a page whose content decides is decoded in colour.
bool loadPagePicture(const PageJob& job, SourceReader& sources, Source& source, Image& image,
                     std::string& reason, bool whole = false) {
    const PageOptions& options = job.options;
    if (job.page.kind == PageKind::Rendered) {
        std::string why;
        if (sources.render(job.page, image, why)) return true;
        reason = "does not load: " + why;
        return false;
    }
    if (!source.read) readSource(job.page.path, source);
    const ImageType type = job.page.type;
    const bool loaded =
        source.error.empty() &&
        (options.crop || whole
             ? image.LoadMemory(source.bytes, type)
             : image.LoadMemoryForPage(source.bytes, type, kPageHeight,
                                       job.gray && !options.autoColor, options.fast)) &&
        image.IsValid();
    source.bytes = {}; // only the decoded picture is needed from here on
    if (!loaded)
        reason = "does not load: " + (source.error.empty() ? image.GetLastError() : source.error);
    return loaded;
}

} // namespace

namespace {

// The half of a spread the job names, taken of the picture once its margins are cut.
bool cutHalf(Image& image, const PageJob& job, std::string& reason) {
    if (job.options.crop && !cropToContent(image, reason)) return false;
    const std::vector<PageRect> halves = spreadPages(image.GetWidth(), image.GetHeight(), false);
    if (halves.size() < 2) {
        reason = "the spread is too narrow to halve";
        return false;
    }
    return cutToRect(image, halves[job.part.kind == PagePart::Kind::LeftHalf ? 0 : 1], reason);
}

} // namespace

MadePage makePage(const PageJob& job, SourceReader* sources, PageCache* cache,
                  StripSliceMemory* slices) {
    MadePage result;
    const PageOptions& options = job.options;
    const PageSettings settings = pageSettings(options, job.gray, job.part.key());
    std::optional<SourceReader> ownReader;
    if (!sources) sources = &ownReader.emplace();
    const bool piece = job.part.kind == PagePart::Kind::StripPiece;
    const bool half =
        job.part.kind == PagePart::Kind::LeftHalf || job.part.kind == PagePart::Kind::RightHalf;
    // A rendered page has no bytes of its own to key a cache by, nor has a piece joined from
    // several files: they are always made afresh.
    if (job.page.kind == PageKind::Rendered || piece) cache = nullptr;
    Source source;
    if (!piece) readIfMember(job.page, *sources, source);
    if (cache) {
        if (PageBytes kept = cache->find(settings, source)) {
            BookPageInfo info;
            std::string why;
            result.gray = checkJpegStream(*kept, info, why) && info.components == 1;
            result.quality =
                result.gray || !options.autoColor ? settings.quality : settings.colorQuality;
            result.ok = true;
            result.jpeg = std::move(kept);
            return result;
        }
    }
    Image image(0);
    if (piece) {
        // Joined gray for a gray page, as a plain gray page is decoded gray; colour is judged
        // on colour pixels.
        const bool joinGray = job.gray && !options.autoColor;
        if (!joinStripPiece(job.part, joinGray, *sources, image, result.reason, slices))
            return result;
    } else {
        if (!loadPagePicture(job, *sources, source, image, result.reason, half)) return result;
        if (half && !cutHalf(image, job, result.reason)) return result;
    }
    result.gray = options.autoColor ? !isColorPicture(image) : job.gray;
    result.quality = result.gray ? options.grayQuality : options.colorQuality;
    return finishPage(image, job, std::move(result), cache, settings, source);
}

std::optional<bool> pictureHasColor(const PageRef& page, std::string& reason,
                                    SourceReader* sources) {
    PageJob job;
    job.page = page;
    job.options.autoColor = true;
    if (page.kind == PageKind::None) {
        reason = "not an image file name";
        return std::nullopt;
    }
    std::optional<SourceReader> ownReader;
    if (!sources) sources = &ownReader.emplace();
    Source source;
    readIfMember(job.page, *sources, source);
    Image image(0);
    if (!loadPagePicture(job, *sources, source, image, reason)) return std::nullopt;
    return isColorPicture(image);
}

namespace {

struct PageResult {
    bool ok = false;
    PageBytes jpeg;
    std::string reason;
};

PageResult preparePage(const PlannedPage& planned, const BookRequest& request,
                       SourceReader& sources, StripSliceMemory& slices) {
    const PageJob job{planned.entry.page, planned.entry.gray, request.options, planned.part};
    MadePage made = makePage(job, &sources, request.cache, &slices);
    return {made.ok, std::move(made.jpeg), std::move(made.reason)};
}

// Prepares pages on worker threads, at most `window` ahead of the one the writer waits for,
// and hands them out strictly in list order, so the book is the same for any number of jobs.
// Only a worker holds a decoded picture, so at most `jobs` are in memory; a finished page
// is just its JPEG bytes, which lets the window run well past one slow page (a spread
// among small pages) instead of leaving the other workers idle behind it.
class PagePipeline {
  public:
    PagePipeline(const std::vector<PlannedPage>& tasks, const BookRequest& request, int jobs,
                 StripSliceMemory& slices)
        : tasks_(tasks), request_(request), results_(tasks.size()),
          window_(4 * static_cast<std::size_t>(jobs)), slices_(slices) {
        std::vector<std::string> paths;
        for (const PlannedPage& t : tasks_)
            if (t.part.kind == PagePart::Kind::StripPiece)
                for (const PageRef& slice : t.part.slices)
                    paths.push_back(slice.path);
            else
                paths.push_back(t.entry.page.path);
        sources_.expect(paths);
        for (int i = 0; i < jobs; ++i)
            workers_.emplace_back([this] { work(); });
    }
    ~PagePipeline() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        workers_.clear(); // joins
    }
    PagePipeline(const PagePipeline&) = delete;
    PagePipeline& operator=(const PagePipeline&) = delete;

    // Blocks until task i is prepared; tasks must be taken in order.
    PageResult take(std::size_t i) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return results_[i].has_value(); });
        PageResult r = std::move(*results_[i]);
        results_[i].reset();
        consumed_ = i + 1;
        lock.unlock();
        wake_.notify_all();
        return r;
    }

  private:
    void work() {
        for (;;) {
            std::size_t i;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] {
                    return stop_ || (next_ < tasks_.size() && next_ < consumed_ + window_);
                });
                if (stop_) return;
                i = next_++;
            }
            PageResult r = preparePage(tasks_[i], request_, sources_, slices_);
            {
                std::lock_guard lock(mutex_);
                results_[i] = std::move(r);
            }
            ready_.notify_all();
        }
    }

    const std::vector<PlannedPage>& tasks_;
    const BookRequest& request_;
    SourceReader sources_;
    std::vector<std::optional<PageResult>> results_;
    const std::size_t window_;
    // Two workers making neighbouring pieces share the slice between them.
    StripSliceMemory& slices_;
    std::size_t next_ = 0, consumed_ = 0;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable ready_, wake_;
    std::vector<std::jthread> workers_;
};

int effectiveJobs(int requested, std::size_t tasks) {
    int jobs = requested > 0 ? requested : static_cast<int>(std::thread::hardware_concurrency());
    jobs = std::clamp(jobs, 1, 64);
    return static_cast<int>(
        std::min<std::size_t>(static_cast<std::size_t>(jobs), std::max<std::size_t>(tasks, 1)));
}

} // namespace

std::vector<BookEntry> bookEntries(const PageList& pages) {
    std::vector<BookEntry> entries;
    for (int i = 0; i < pages.rowCount(); ++i) {
        const PageRow& row = pages.row(i);
        entries.push_back({pageOf(row), isGrayFlag(row.grayFlag()), i});
    }
    return entries;
}

namespace {

// A page starts a source where the entry says so (a command-line argument's first page) or
// where its folder (a folder, a container, a sub-folder inside one) is not the page before's.
std::vector<bool> sourceStarts(const std::vector<BookEntry>& written) {
    std::vector<bool> starts(written.size());
    std::string_view before;
    for (std::size_t i = 0; i < written.size(); ++i) {
        const std::string& path = written[i].page.path;
        const std::string_view folder(path.data(), std::min(path.size(), path.rfind('/')));
        starts[i] = i == 0 || written[i].startsSource || folder != before;
        before = folder;
    }
    return starts;
}

// The names the book will take: one file, or one per volume.
std::vector<std::string> outputNames(const std::string& book, std::size_t pages,
                                     std::size_t limit) {
    if (pages <= limit) return {book};
    const std::size_t count = (pages + limit - 1) / limit;
    std::vector<std::string> names;
    for (std::size_t k = 1; k <= count; ++k)
        names.push_back(volumeFileName(book, k, count));
    return names;
}

// Whether the names may be written: none exists, or the user lets them be replaced (asked
// once for all of them).
bool mayWrite(const std::vector<std::string>& names, BookPlatform& platform, bool& asked,
              MakeReport& report) {
    report.existing.clear();
    for (const auto& name : names)
        if (platform.fileExists(name)) report.existing.push_back(name);
    if (report.existing.empty() || asked) return true;
    asked = true;
    return platform.askOverwrite(kOverwriteQuestion);
}

} // namespace

MakeReport makeBook(const std::vector<BookEntry>& entries, const BookRequest& request,
                    BookPlatform& platform, ProgressDisplay& progress) {
    MakeReport report;
    report.outputName = bookFileName(request.fileName);
    const std::size_t limit = static_cast<std::size_t>(
        std::clamp(request.maxPages, 1, static_cast<int>(BookHeader::kSlotCount)));
    const std::string titleCp936 = utf8ToCp936(request.title);
    const std::string authorCp936 = utf8ToCp936(request.author);

    BookHeader header;
    header.setTitle(titleCp936);
    header.setAuthor(authorCp936);

    std::size_t unusable = 0;
    for (const BookEntry& entry : entries) {
        if (entry.page.kind != PageKind::None) continue;
        report.skipped.push_back({entry.row, entry.page.path, "not an image file name"});
        ++unusable;
    }
    std::vector<PlannedPage> tasks;
    // Holds the slices planning handed over until their pieces are made.
    StripSliceMemory slices(static_cast<std::size_t>(effectiveJobs(request.jobs, SIZE_MAX)) + 2);
    {
        SourceReader planSources;
        if (request.options.splitSpreads || request.options.strips) {
            std::vector<std::string> paths;
            for (const BookEntry& entry : entries)
                paths.push_back(entry.page.path);
            planSources.expect(paths);
        }
        tasks = planPages(entries, request.options, planSources,
                          effectiveJobs(request.jobs, entries.size()), &slices);
    }
    // Asked before any work with the names every usable page would need; asked again at the
    // end only when pages that did not become pages changed the names.
    bool asked = false;
    std::vector<std::string> approved = outputNames(report.outputName, tasks.size(), limit);
    if (!mayWrite(approved, platform, asked, report)) {
        report.declined = true;
        return report;
    }

    // Every page goes into one file beside the target first: renamed over it when complete
    // and it holds one book, cut into volumes when it holds more. A failed make never
    // destroys an earlier book.
    AtomicFile file(report.outputName, ".part");
    std::string failedName = report.outputName;
    auto failed = [&](bool progressShown, const std::string& why) {
        report.error = "Cannot write " + failedName + ": " + why;
        if (progressShown) progress.DestroyProgress();
        platform.reportFailure(report);
        return report;
    };
    if (!file.create() || !file.write(header.serialize().data(), BookHeader::kSize))
        return failed(false, file.error());

    progress.StartProgress();
    const int total = static_cast<int>(unusable + tasks.size());
    std::vector<std::uint32_t> sizes;
    std::vector<BookEntry> written;
    {
        PagePipeline pipeline(tasks, request, effectiveJobs(request.jobs, tasks.size()), slices);
        for (std::size_t t = 0; t < tasks.size(); ++t) {
            const BookEntry& task = tasks[t].entry;
            progress.ShowCurrentPage(plannedPageName(tasks[t]), static_cast<int>(sizes.size()),
                                     total);
            PageResult page = pipeline.take(t);
            if (!page.ok) {
                report.skipped.push_back({task.row, task.page.path, page.reason});
                continue;
            }
            if (!file.write(page.jpeg->data(), page.jpeg->size()))
                return failed(true, file.error());
            sizes.push_back(static_cast<std::uint32_t>(page.jpeg->size()));
            written.push_back(task);
        }
    }
    std::stable_sort(report.skipped.begin(), report.skipped.end(),
                     [](const SkippedRow& a, const SkippedRow& b) { return a.row < b.row; });

    const std::vector<std::string> names = outputNames(report.outputName, sizes.size(), limit);
    if (names != approved && !mayWrite(names, platform, asked, report)) {
        progress.DestroyProgress();
        report.declined = true;
        return report;
    }
    if (names.size() == 1) {
        for (std::uint32_t size : sizes)
            header.addPageSize(size);
        if (!file.rewind() || !file.write(header.serialize().data(), BookHeader::kSize) ||
            !file.commit())
            return failed(true, file.error());
        report.volumes.push_back({report.outputName, static_cast<int>(sizes.size())});
    } else {
        const std::vector<std::size_t> breaks =
            volumeBreaks(sizes.size(), limit, sourceStarts(written));
        std::vector<std::unique_ptr<AtomicFile>> volumes;
        std::vector<std::uint8_t> buffer;
        std::uint64_t offset = BookHeader::kSize;
        for (std::size_t v = 0; v < names.size(); ++v) {
            const std::size_t first = v == 0 ? 0 : breaks[v - 1];
            const std::size_t end = v < breaks.size() ? breaks[v] : sizes.size();
            BookHeader part;
            part.setTitle(volumeTitleCp936(titleCp936, v + 1, names.size()));
            part.setAuthor(authorCp936);
            for (std::size_t i = first; i < end; ++i)
                part.addPageSize(sizes[i]);
            failedName = names[v];
            auto& out = volumes.emplace_back(std::make_unique<AtomicFile>(names[v], ".part"));
            if (!out->create() || !out->write(part.serialize().data(), BookHeader::kSize))
                return failed(true, out->error());
            for (std::size_t i = first; i < end; ++i) {
                buffer.resize(sizes[i]);
                if (!file.readAt(offset, buffer.data(), buffer.size()))
                    return failed(true, file.error());
                if (!out->write(buffer.data(), buffer.size())) return failed(true, out->error());
                offset += sizes[i];
            }
            report.volumes.push_back({names[v], static_cast<int>(end - first)});
        }
        // Only once every volume is whole does any of them take its name.
        for (std::size_t v = 0; v < volumes.size(); ++v) {
            failedName = names[v];
            if (!volumes[v]->commit()) return failed(true, volumes[v]->error());
        }
    }

    report.written = true;
    report.pagesWritten = static_cast<int>(sizes.size());
    progress.HideProgress();
    platform.reportSuccess(kSuccessMessage, report);
    progress.DestroyProgress();
    return report;
}

} // namespace folio
