#include "book/making/book_builder.h"

#include "book/base/atomic_file.h"
#include "book/format/book_check.h"
#include "book/format/book_header.h"
#include "book/image/image_type.h"
#include "book/making/page_shape.h"
#include "book/sources/source.h"
#include "book/base/text_encoding.h"

#include <algorithm>
#include <condition_variable>
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

struct PageTask {
    int row = 0;
    std::string path;
    ImageType type = 0;
    bool gray = false;
};

// The decoded picture, its gray or colour decided, cut, turned, scaled and encoded.
MadePage finishPage(Image& image, const PageJob& job, MadePage result, PageCache* cache,
                    const PageSettings& settings, const Source& source) {
    if (job.crop && !cropToContent(image, result.reason)) return result;
    auto jpeg = std::make_shared<std::vector<std::uint8_t>>();
    result.ok = encodePage(image, result.gray, result.quality, *jpeg, result.reason);
    result.quality = std::clamp(result.quality, 0, 100);
    if (!result.ok) return result;
    result.jpeg = std::move(jpeg);
    if (cache) cache->store(settings, source, result.jpeg);
    return result;
}

PageSettings settingsOf(const PageJob& job) {
    PageSettings settings;
    settings.fast = job.fast;
    settings.crop = job.crop;
    if (job.autoColor) {
        settings.autoColor = true;
        settings.quality = std::clamp(job.grayQuality, 0, 100);
        settings.colorQuality = std::clamp(job.colorQuality, 0, 100);
    } else {
        settings.gray = job.gray;
        settings.quality = std::clamp(job.gray ? job.grayQuality : job.colorQuality, 0, 100);
    }
    return settings;
}

// A member has no identity of its own on disk: it is read up front through its container's
// reader (the memory cache passes it by, the disk cache keys it by its content).
void readIfMember(const PageJob& job, SourceReader& sources, Source& source) {
    source.path = job.path;
    if (job.type == kPdfPageType || !resolveSourcePath(job.path).isMember()) return;
    source.read = true;
    if (!sources.read(job.path, source.bytes, source.error) && source.error.empty())
        source.error = "cannot read member";
}

// The picture a page is made from: a PDF page rendered (the slow step, on a worker thread
// while a book is made), or the file (or the member readIfMember read) decoded.
// Margins are found on the whole picture; otherwise a JPEG comes reduced as it decodes.
// Colour is judged on colour pixels, so a page whose content decides is decoded in colour.
bool loadPagePicture(const PageJob& job, SourceReader& sources, Source& source, Image& image,
                     std::string& reason) {
    if (job.type == kPdfPageType) {
        std::string why;
        if (sources.renderPdfPage(job.path, image, why)) return true;
        reason = "does not load: " + why;
        return false;
    }
    if (!source.read) readSource(job.path, source);
    const bool loaded =
        source.error.empty() &&
        (job.crop ? image.LoadMemory(source.bytes, job.type)
                  : image.LoadMemoryForPage(source.bytes, job.type, kPageHeight,
                                            job.gray && !job.autoColor, job.fast)) &&
        image.IsValid();
    source.bytes = {}; // only the decoded picture is needed from here on
    if (!loaded)
        reason = "does not load: " + (source.error.empty() ? image.GetLastError() : source.error);
    return loaded;
}

} // namespace

MadePage makePage(const PageJob& job, SourceReader* sources, PageCache* cache) {
    MadePage result;
    const PageSettings settings = settingsOf(job);
    std::optional<SourceReader> ownReader;
    if (!sources) sources = &ownReader.emplace();
    // A PDF page has no bytes of its own to key a cache by: it is always made afresh.
    if (job.type == kPdfPageType) cache = nullptr;
    Source source;
    readIfMember(job, *sources, source);
    if (cache) {
        if (PageBytes kept = cache->find(settings, source)) {
            BookPageInfo info;
            std::string why;
            result.gray = checkJpegStream(*kept, info, why) && info.components == 1;
            result.quality =
                result.gray || !job.autoColor ? settings.quality : settings.colorQuality;
            result.ok = true;
            result.jpeg = std::move(kept);
            return result;
        }
    }
    Image image(0);
    if (!loadPagePicture(job, *sources, source, image, result.reason)) return result;
    result.gray = job.autoColor ? !isColorPicture(image) : job.gray;
    result.quality = result.gray ? job.grayQuality : job.colorQuality;
    return finishPage(image, job, std::move(result), cache, settings, source);
}

std::optional<bool> pictureHasColor(const std::string& path, std::string& reason,
                                    SourceReader* sources) {
    PageJob job;
    job.path = path;
    job.type = pageTypeOfPath(path);
    job.autoColor = true;
    if (job.type == 0) {
        reason = "not an image file name";
        return std::nullopt;
    }
    std::optional<SourceReader> ownReader;
    if (!sources) sources = &ownReader.emplace();
    Source source;
    readIfMember(job, *sources, source);
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

PageResult preparePage(const PageTask& task, const BookRequest& request, SourceReader& sources) {
    const PageJob job{
        task.path,    task.type,    task.gray,        request.grayQuality, request.colorQuality,
        request.fast, request.crop, request.autoColor};
    MadePage made = makePage(job, &sources, request.cache);
    return {made.ok, std::move(made.jpeg), std::move(made.reason)};
}

// Prepares pages on worker threads, at most `window` ahead of the one the writer waits for,
// and hands them out strictly in list order, so the book is the same for any number of jobs.
// Only a worker holds a decoded picture, so at most `jobs` are in memory; a finished page
// is just its JPEG bytes, which lets the window run well past one slow page (a spread
// among small pages) instead of leaving the other workers idle behind it.
class PagePipeline {
  public:
    PagePipeline(const std::vector<PageTask>& tasks, const BookRequest& request, int jobs)
        : tasks_(tasks), request_(request), results_(tasks.size()),
          window_(4 * static_cast<std::size_t>(jobs)) {
        std::vector<std::string> paths;
        for (const PageTask& t : tasks_)
            paths.push_back(t.path);
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
            PageResult r = preparePage(tasks_[i], request_, sources_);
            {
                std::lock_guard lock(mutex_);
                results_[i] = std::move(r);
            }
            ready_.notify_all();
        }
    }

    const std::vector<PageTask>& tasks_;
    const BookRequest& request_;
    SourceReader sources_;
    std::vector<std::optional<PageResult>> results_;
    const std::size_t window_;
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

MakeReport makeBook(const PageList& pages, const BookRequest& request, BookPlatform& platform,
                    ProgressDisplay& progress) {
    MakeReport report;
    report.outputName = bookFileName(request.fileName);

    BookHeader header;
    header.setTitle(utf8ToCp936(request.title));
    header.setAuthor(utf8ToCp936(request.author));

    if (platform.fileExists(report.outputName) && !platform.askOverwrite(kOverwriteQuestion)) {
        report.declined = true;
        return report;
    }

    // Written beside the target and renamed over it when complete: a failed make never
    // destroys an earlier book.
    AtomicFile file(report.outputName, ".part");
    auto failed = [&](bool progressShown) {
        report.error = "Cannot write " + report.outputName + ": " + file.error();
        if (progressShown) progress.DestroyProgress();
        platform.reportFailure(report);
        return report;
    };
    if (!file.create() || !file.write(header.serialize().data(), BookHeader::kSize))
        return failed(false);

    progress.StartProgress();

    // The window takes no input while a book is made, so the rows cannot change meanwhile.
    std::vector<PageTask> tasks;
    const int total = pages.rowCount();
    for (int i = 0; i < total; ++i) {
        const std::string& path = pages.cellText(i, kCellPath);
        const ImageType type = pageTypeOfPath(path);
        if (type == 0) {
            report.skipped.push_back({i, path, "not an image file name"});
            continue;
        }
        tasks.push_back({i, path, type, isGrayFlag(pages.cellText(i, kCellGrayFlag))});
    }

    {
        PagePipeline pipeline(tasks, request, effectiveJobs(request.jobs, tasks.size()));
        for (std::size_t t = 0; t < tasks.size(); ++t) {
            const PageTask& task = tasks[t];
            if (header.full()) {
                report.leftOut = static_cast<int>(tasks.size() - t);
                for (std::size_t r = t; r < tasks.size(); ++r)
                    report.skipped.push_back(
                        {tasks[r].row, tasks[r].path, "left out: a book holds 1000 pages"});
                break;
            }
            progress.ShowCurrentPage(task.path, static_cast<int>(header.pageCount()), total);
            PageResult page = pipeline.take(t);
            if (!page.ok) {
                report.skipped.push_back({task.row, task.path, page.reason});
                continue;
            }
            if (!file.write(page.jpeg->data(), page.jpeg->size())) return failed(true);
            header.addPageSize(static_cast<std::uint32_t>(page.jpeg->size()));
        }
    }
    std::stable_sort(report.skipped.begin(), report.skipped.end(),
                     [](const SkippedRow& a, const SkippedRow& b) { return a.row < b.row; });

    if (!file.rewind() || !file.write(header.serialize().data(), BookHeader::kSize) ||
        !file.commit())
        return failed(true);

    report.written = true;
    report.pagesWritten = static_cast<int>(header.pageCount());
    progress.HideProgress();
    platform.reportSuccess(kSuccessMessage, report);
    progress.DestroyProgress();
    return report;
}

} // namespace folio
