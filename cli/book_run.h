// What make and convert share: the options of making books, the terminal's platform and
// progress line, the cache. Private to folio_cli.
#pragma once

#include "cli/command_support.h"

#include "book/base/pace.h"
#include "book/making/book_builder.h"
#include "book/making/page_cache.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace folio::cli {

// The settings of a run that makes books, as the options set them.
struct BookRun {
    BookRequest request = [] {
        BookRequest r;
        r.jobs = 0;
        return r;
    }();
    std::optional<std::string> cacheDir;
    bool overwrite = false, quiet = false, strict = false;
};

// The options make and convert share: qualities, jobs, the page options, the page limit,
// --overwrite, --cache, --strict and --quiet.
void addBookRunOptions(std::vector<Option>& options, BookRun& run);

// Opens --cache's directory; false (the reason said) when it cannot be used.
bool openCache(BookRun& run, std::optional<DiskPageCache>& cache, std::ostream& err);

// "NAME exists; use --overwrite to replace it" for every name that stood in the way.
void sayExisting(const MakeReport& report, std::ostream& err);

// Title and author from the metadata of the containers (ComicInfo.xml, a PDF's information),
// the first that has each; bad metadata is said on err and left.
void fillFromMetadata(const std::vector<std::string>& containers, BookRequest& request,
                      bool keepTitle, bool keepAuthor, std::ostream& err);

class TerminalPlatform final : public BookPlatform {
  public:
    TerminalPlatform(const BookRun& run, const std::vector<SkippedRow>& leftOut, std::ostream& out,
                     std::ostream& err)
        : overwrite_(run.overwrite), quiet_(run.quiet), leftOut_(leftOut), out_(out), err_(err) {}

    bool fileExists(const std::string& name) override {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
    }
    bool askOverwrite(const std::string&) override { return overwrite_; }
    void reportSuccess(const std::string&, const MakeReport& report) override {
        listSkipped(report);
        if (quiet_) return;
        const std::size_t skipped = leftOut_.size() + report.skipped.size();
        if (report.volumes.size() > 1) {
            for (const auto& volume : report.volumes)
                out_ << "wrote " << volume.name << ": " << pagesText(volume.pages)
                     << sizeOf(volume.name) << "\n";
            out_ << pagesText(report.pagesWritten) << " in " << report.volumes.size()
                 << " volumes, " << skipped << " skipped\n";
            return;
        }
        out_ << "wrote " << report.outputName << ": " << pagesText(report.pagesWritten) << ", "
             << skipped << " skipped" << sizeOf(report.outputName) << "\n";
    }
    void reportFailure(const MakeReport& report) override {
        listSkipped(report);
        err_ << "folioforge: " << report.error << "\n";
    }

  private:
    static std::string pagesText(int pages) {
        return std::to_string(pages) + (pages == 1 ? " page" : " pages");
    }
    static std::string sizeOf(const std::string& name) {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(name, ec);
        return ec ? std::string() : ", " + sizeText(bytes);
    }
    void listSkipped(const MakeReport& report) {
        for (const auto& s : leftOut_)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
        for (const auto& s : report.skipped)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
    }

    bool overwrite_, quiet_;
    const std::vector<SkippedRow>& leftOut_;
    std::ostream& out_;
    std::ostream& err_;
};

// One line that rewrites itself on a terminal; silent when stderr is not one.
class TerminalProgress final : public ProgressDisplay {
  public:
    explicit TerminalProgress(bool enabled) : enabled_(enabled) { pace_.start(Pace::Clock::now()); }
    // Several books in one run: the line names the book, and pages and time count over all of
    // them (pagesBefore: pages of the books before this one, allPages: of every book).
    void setBook(int book, int books, int pagesBefore, int allPages) {
        book_ = book, books_ = books, before_ = pagesBefore, all_ = allPages;
    }
    void StartProgress() override {
        if (books_ == 0) pace_.start(Pace::Clock::now());
    }
    void ShowCurrentPage(const std::string& path, int done, int total) override {
        if (!enabled_) return;
        if (books_ > 0) done += before_, total = all_;
        std::string rate;
        if (const auto e = pace_.at(done, total, Pace::Clock::now())) {
            char text[48];
            std::snprintf(text, sizeof text, " %.1f pages/s, %s left", e->pagesPerSecond,
                          formatDuration(e->secondsLeft).c_str());
            rate = text;
        }
        const std::string book =
            books_ > 0 ? "(" + std::to_string(book_) + "/" + std::to_string(books_) + ") " : "";
        std::fprintf(stderr, "\r\033[K%s[%d/%d]%s %s", book.c_str(), done + 1, total, rate.c_str(),
                     path.c_str());
        std::fflush(stderr);
        shown_ = true;
    }
    void HideProgress() override { clear(); }
    void DestroyProgress() override { clear(); }

  private:
    void clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        shown_ = false;
    }
    bool enabled_;
    bool shown_ = false;
    int book_ = 0, books_ = 0, before_ = 0, all_ = 0;
    Pace pace_;
};

} // namespace folio::cli
