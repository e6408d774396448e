#include "cli/cli.h"

#include "book/base/atomic_file.h"
#include "book/making/book_builder.h"
#include "book/format/book_check.h"
#include "book/pages/file_order.h"
#include "book/image/image_type.h"
#include "book/base/pace.h"
#include "book/making/page_cache.h"
#include "book/sources/source.h"
#include "book/base/text_encoding.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <langinfo.h>
#include <optional>
#include <ostream>
#include <unistd.h>

namespace folio::cli {

namespace {

constexpr char kUsage[] = R"(Usage: folioforge [FILE...]
       folioforge probe [--decode] FILE...
       folioforge make -o OUT [OPTION...] PAGE... [--color PAGE]...
       folioforge page SRC -o OUT.jpg [--color] [--quality N] [--crop] [--overwrite]
       folioforge inspect BOOK
       folioforge extract [--overwrite] BOOK DIR
       folioforge --version

Turn page images into one .QFB book for a page-by-page reader.

With no command, or with files only, the window opens (files given are added as pages).
A folder, a comic archive (CBZ/ZIP, CBR/RAR, CB7/7z, CBT/TAR), a .QFB book or a PDF
stands for its pages; a page inside one is named CONTAINER/MEMBER (vol1.cbz/ch01/003.jpg,
scan.pdf/0007).

Commands:
  probe     show the image type, size and depth the tool sees in each file
  make      make a book from page images on the command line
  page      write one page as a JPEG exactly as a book made by make holds it
  inspect   show a book's header and pages and check the file
  extract   write a book's pages unchanged as DIR/0001.jpg, DIR/0002.jpg, ...

Options:
  -h, --help      show this help (after a command: that command's help)
  -V, --version   show the version

Run 'folioforge COMMAND --help' for the options of a command.

Exit status: 0 done, 1 failed (the reason on standard error), 2 usage error.
)";

constexpr char kProbeHelp[] = R"(Usage: folioforge probe [--decode] FILE...

For each FILE print one line: PATH<TAB>TYPE<TAB>WIDTHxHEIGHTxBPP, where TYPE is the
image type the file name gives (0: not an image file name; 100: a PDF page, sized as it
renders) and BPP is 1, 4, 8 or 24.
Only the file's headers are read, as when pages are added in the window. A file whose
name gives no type, or whose header is refused, shows '-' instead of the size.

Options:
      --decode   decode every file in full, as making the book does: '-' also for a file
                 whose pixel data is broken (slower)
A comic archive, .QFB book or PDF gives one line per page in it, named CONTAINER/MEMBER.

Exit status: 0.
)";

constexpr char kMakeHelp[] = R"(Usage: folioforge make -o OUT [OPTION...] PAGE... [--color PAGE]...

Make the book OUT from the pages in the order given. A bare PAGE becomes a gray page,
a PAGE after --color a colour page. A directory stands for its image files in natural
order (page2 before page10); a comic archive (.cbz .zip .cbr .rar .cb7 .7z .cbt .tar
.tar.gz .tgz .tar.bz2 .tar.xz) for its image members, sub-folders included, in natural
order of their member paths; a .QFB book for its pages; a PDF for its pages, each
rendered 1280 pixels high once upright. A single page inside one is named
CONTAINER/MEMBER, for example vol1.cbz/ch01/003.jpg, old.QFB/0007.jpg or
scan.pdf/0007. Every page is turned if portrait, made gray if gray, scaled to 640 pixels
high and stored as a JPEG. ".QFB" is appended to OUT unless it already ends so; an empty
OUT gives "noname.QFB".

Options:
  -o, --output OUT       the book file to write (required)
      --title TEXT       the book's title (stored in code page 936, at most 100 bytes)
      --author TEXT      the book's author (likewise)
      --gray-quality N   JPEG quality of gray pages, 0 to 100 (default 50)
      --color-quality N  JPEG quality of colour pages, 0 to 100 (default 80)
      --color PAGE       add PAGE (file or directory) as colour page(s)
      --overwrite        replace OUT if it exists
  -j, --jobs N           pages prepared at once (default: one per processor)
      --fast             decode large JPEG pages reduced (1/2 to 1/8) before scaling, gray
                         pages as luma alone: about 1.2 times quicker on the bench set,
                         close to the exact pages but not byte-identical to them
      --auto-color       let each page's content decide whether it is a colour page
                         (a photo, a coloured figure, stamp or logo) or a gray one (a gray
                         scan in colour, colour fringes, yellowed or tinted paper), whether
                         given bare or after --color
      --crop             cut a page's uniform white or black border, leaving a margin of
                         about 1% of its content, before it is turned and scaled; content,
                         a page without such a border and a nearly empty page stay whole
      --cache DIR        keep the encoded pages in DIR (created if missing) and take them
                         from there when a page's file content and settings are the same
                         as before: the book is the same, made without decoding those
                         pages again
      --strict           exit with 1 when any page was skipped (the book is still written)
  -q, --quiet            no progress and no summary
  -h, --help             show this help

Pages that cannot be used are skipped and listed on standard error with the reason. The
summary line names the pages written, the pages skipped and the book's size.

Exit status: 0 book written, 1 book not written (or, with --strict, written with pages
skipped), 2 usage error.
)";

constexpr char kPageHelp[] =
    R"(Usage: folioforge page SRC -o OUT.jpg [--color] [--quality N] [--crop] [--overwrite]

Write the page that make would put in a book for the picture SRC, the very same JPEG
bytes: turned if portrait, gray unless --color, scaled to 640 pixels high. SRC is a
picture file or a page inside a comic archive, PDF or book (CONTAINER/MEMBER).

Options:
  -o, --output OUT   the JPEG file to write (required)
      --color        a colour page, as after make's --color (default: a gray page)
      --quality N    JPEG quality, 0 to 100 (default: 50 for a gray page, 80 for a
                     colour page, the defaults of make)
      --crop         cut the paper margins as make --crop does
      --overwrite    replace OUT if it exists
  -h, --help         show this help

Exit status: 0 page written, 1 SRC gives no page or OUT could not be written (the reason
on standard error), 2 usage error.
)";

constexpr char kExtractHelp[] = R"(Usage: folioforge extract [--overwrite] BOOK DIR

Write every page of BOOK, its JPEG bytes unchanged, as DIR/0001.jpg, DIR/0002.jpg, ...
DIR is created if missing. Nothing but these files is written, and an existing file of
one of these names is left alone (and nothing is written) unless --overwrite is given.
A broken book (see inspect) gives the pages that are sound; the others are named on
standard error.

Exit status: 0 every page written, 1 a page or the book is broken or a file could not be
written, 2 usage error.
)";

constexpr char kInspectHelp[] = R"(Usage: folioforge inspect BOOK

Print the header of BOOK (title, author, slot count, page count) and one line per page
(offset, size, width x height, gray or colour), and check every rule of the book format:
magic, slot count, reserved bytes, page sizes, file length, each page a complete JPEG.

Exit status: 0 the book is sound, 1 it is not (the first broken rule is named) or cannot
be read, 2 usage error.
)";

// Every command, in the order the help lists them. The shell completion
// (data/folioforge.bash-completion) lists them too; the install test sees that it offers each.
constexpr const char* kCommands[] = {"probe", "make", "page", "inspect", "extract"};

bool isCommand(const std::string& word) {
    for (const char* c : kCommands)
        if (word == c) return true;
    return false;
}

bool isHelp(const std::string& word) {
    return word == "-h" || word == "--help";
}

// Help wins wherever it stands, up to a "--" that ends the options.
bool asksForHelp(const std::vector<std::string>& words) {
    for (const auto& w : words) {
        if (w == "--") return false;
        if (isHelp(w)) return true;
    }
    return false;
}

const char* helpOf(const std::string& command) {
    if (command == "probe") return kProbeHelp;
    if (command == "make") return kMakeHelp;
    if (command == "page") return kPageHelp;
    if (command == "inspect") return kInspectHelp;
    return nullptr;
}

// An existing file or folder, or a name inside an existing file (a member of an archive or
// book, CONTAINER/MEMBER).
bool namesSomething(const std::filesystem::path& path) {
    std::error_code ec;
    for (auto p = path; !p.empty(); p = p.parent_path()) {
        if (std::filesystem::exists(p, ec))
            return p == path || std::filesystem::is_regular_file(p, ec);
        if (p == p.parent_path()) break;
    }
    return false;
}

// 4216 bytes, 187.3 KiB, 12.5 MiB: what a reader's storage is measured in.
std::string sizeText(std::uintmax_t bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%ju bytes", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

const char* terminalCodeset() {
    return nl_langinfo(CODESET);
}

int usageError(std::ostream& err, const std::string& message, const char* command) {
    err << "folioforge: " << message << "\n";
    err << "Try 'folioforge " << (command ? std::string(command) + " " : std::string())
        << "--help' for more information.\n";
    return 2;
}

void listLeftOut(const std::vector<SkippedRow>& skipped, std::ostream& err) {
    for (const auto& s : skipped)
        err << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
}

bool decodedFacts(const std::vector<std::uint8_t>& bytes, ImageType type, ImageFacts& facts) {
    Image image(0);
    if (!image.LoadMemory(bytes, type) || !image.IsValid()) return false;
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}

bool decodedFacts(const std::string& path, ImageType type, ImageFacts& facts) {
    Image image(0);
    if (!loadImageFile(image, path, type)) return false;
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}

// A member's facts come from its bytes, read through the source layer; a PDF page's from
// its size, or with --decode from the page rendered.
bool memberFacts(SourceReader& sources, const std::string& path, ImageType type, bool decode,
                 ImageFacts& facts) {
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (type == kPdfPageType) {
        std::uint64_t share = 0;
        if (!decode) return sources.probePdfPage(path, facts, share, reason);
        Image image(0);
        if (!sources.renderPdfPage(path, image, reason)) return false;
        facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
        return true;
    }
    if (!sources.read(path, bytes, reason)) return false;
    return decode ? decodedFacts(bytes, type, facts) : probeImageMemory(bytes, type, facts, reason);
}

int probe(std::vector<std::string> files, bool decode, std::ostream& out, std::ostream& err) {
    std::vector<SkippedRow> skipped;
    expandContainers(files, skipped);
    listLeftOut(skipped, err);
    SourceReader sources;
    sources.expect(files);
    for (const auto& path : files) {
        const ImageType type = pageTypeOfPath(path);
        out << path << '\t' << type << '\t';
        ImageFacts facts;
        std::string reason;
        const bool member = type != 0 && resolveSourcePath(path).isMember();
        const bool known = type != 0 && (member   ? memberFacts(sources, path, type, decode, facts)
                                         : decode ? decodedFacts(path, type, facts)
                                                  : probeImageFile(path, type, facts, reason));
        if (known)
            out << facts.width << 'x' << facts.height << 'x' << facts.bpp;
        else
            out << '-';
        out << '\n';
    }
    return 0;
}

std::optional<int> parseQuality(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > 100) return std::nullopt;
    return v;
}

class TerminalPlatform final : public BookPlatform {
  public:
    TerminalPlatform(bool overwrite, bool quiet, const std::vector<SkippedRow>& leftOut,
                     std::ostream& out, std::ostream& err)
        : overwrite_(overwrite), quiet_(quiet), leftOut_(leftOut), out_(out), err_(err) {}

    bool fileExists(const std::string& name) override {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
    }
    bool askOverwrite(const std::string&) override { return overwrite_; }
    void reportSuccess(const std::string&, const MakeReport& report) override {
        listSkipped(report);
        if (quiet_) return;
        out_ << "wrote " << report.outputName << ": " << report.pagesWritten << " page"
             << (report.pagesWritten == 1 ? "" : "s") << ", "
             << leftOut_.size() + report.skipped.size() << " skipped";
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(report.outputName, ec);
        if (!ec) out_ << ", " << sizeText(bytes);
        out_ << "\n";
    }
    void reportFailure(const MakeReport& report) override {
        listSkipped(report);
        err_ << "folioforge: " << report.error << "\n";
    }

  private:
    void listSkipped(const MakeReport& report) {
        for (const auto& s : leftOut_)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
        for (const auto& s : report.skipped)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
        if (report.leftOut > 0)
            err_ << "folioforge: " << report.leftOut
                 << " page(s) left out: a book holds at most 1000 pages\n";
    }

    bool overwrite_, quiet_;
    const std::vector<SkippedRow>& leftOut_;
    std::ostream& out_;
    std::ostream& err_;
};

// One line that rewrites itself on a terminal; silent when stderr is not one.
class TerminalProgress final : public ProgressDisplay {
  public:
    explicit TerminalProgress(bool enabled) : enabled_(enabled) {}
    void StartProgress() override { pace_.start(Pace::Clock::now()); }
    void ShowCurrentPage(const std::string& path, int done, int total) override {
        if (!enabled_) return;
        std::string rate;
        if (const auto e = pace_.at(done, total, Pace::Clock::now())) {
            char text[48];
            std::snprintf(text, sizeof text, " %.1f pages/s, %s left", e->pagesPerSecond,
                          formatDuration(e->secondsLeft).c_str());
            rate = text;
        }
        std::fprintf(stderr, "\r\033[K[%d/%d]%s %s", done + 1, total, rate.c_str(), path.c_str());
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
    Pace pace_;
};

void addPage(PageList& list, const std::string& path, bool gray) {
    const int row = list.rowCount();
    list.insertRow(row, std::filesystem::path(path).filename().string());
    list.setCellText(row, kCellPath, path);
    list.setCellText(row, kCellGrayFlag, gray ? "Yes" : "No");
}

void addPages(PageList& list, const std::string& arg, bool gray, std::vector<SkippedRow>& leftOut) {
    const Expansion expansion = expandPaths({arg});
    for (const auto& path : expansion.pages)
        addPage(list, path, gray);
    leftOut.insert(leftOut.end(), expansion.leftOut.begin(), expansion.leftOut.end());
}

int make(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    BookRequest request;
    request.jobs = 0;
    std::optional<std::string> output, cacheDir;
    bool overwrite = false, quiet = false, onlyPages = false, strict = false;
    PageList pages;
    std::vector<SkippedRow> leftOut; // folders that stand for no page
    const char* codeset = terminalCodeset();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        std::string v;
        if (onlyPages || a == "-" || a.empty() || a[0] != '-') {
            addPages(pages, a, true, leftOut);
        } else if (a == "--") {
            onlyPages = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(v)) return usageError(err, "option '" + a + "' needs a file name", "make");
            output = v;
        } else if (a == "--title" || a == "--author") {
            if (!value(v)) return usageError(err, "option '" + a + "' needs a text", "make");
            (a == "--title" ? request.title : request.author) = localeToUtf8(v, codeset);
        } else if (a == "--gray-quality" || a == "--color-quality") {
            std::optional<int> q;
            if (!value(v) || !(q = parseQuality(v)))
                return usageError(err, "option '" + a + "' needs a quality from 0 to 100", "make");
            (a == "--gray-quality" ? request.grayQuality : request.colorQuality) = *q;
        } else if (a == "--color") {
            if (!value(v)) return usageError(err, "option '--color' needs a page", "make");
            addPages(pages, v, false, leftOut);
        } else if (a == "-j" || a == "--jobs") {
            if (!value(v) || v.empty() || v.size() > 3 ||
                v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) < 1)
                return usageError(err, "option '" + a + "' needs a number from 1 to 999", "make");
            request.jobs = std::stoi(v);
        } else if (a == "--overwrite") {
            overwrite = true;
        } else if (a == "--fast") {
            request.fast = true;
        } else if (a == "--auto-color") {
            request.autoColor = true;
        } else if (a == "--crop") {
            request.crop = true;
        } else if (a == "--cache") {
            if (!value(v) || v.empty())
                return usageError(err, "option '--cache' needs a directory", "make");
            cacheDir = v;
        } else if (a == "--strict") {
            strict = true;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else {
            return usageError(err, "unknown option '" + a + "'", "make");
        }
    }
    if (!output) return usageError(err, "no output file: give one with -o OUT", "make");
    request.fileName = *output;

    std::optional<DiskPageCache> cache;
    if (cacheDir) {
        std::string why;
        if (!cache.emplace(*cacheDir).open(why)) {
            err << "folioforge: " << why << "\n";
            return 1;
        }
        request.cache = &*cache;
    }

    TerminalPlatform platform(overwrite, quiet, leftOut, out, err);
    TerminalProgress progress(!quiet && ::isatty(STDERR_FILENO));
    const MakeReport report = makeBook(pages, request, platform, progress);
    if (cache && !cache->storeError().empty()) err << "folioforge: " << cache->storeError() << "\n";
    if (report.declined) {
        err << "folioforge: " << report.outputName << " exists; use --overwrite to replace it\n";
        return 1;
    }
    if (!report.written) return 1;
    // Rows past the last slot are among the skipped rows already.
    const std::size_t missing = leftOut.size() + report.skipped.size();
    if (strict && missing > 0) {
        err << "folioforge: " << missing << " page(s) not in the book (--strict)\n";
        return 1;
    }
    return 0;
}

// A book's bytes, whole: inspect and extract check all of it.
bool readBookFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::ostream& err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        err << "folioforge: cannot read " << path << "\n";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) return usageError(err, "inspect takes exactly one book", "inspect");
    const std::string& path = args[0];
    std::vector<std::uint8_t> bytes;
    if (!readBookFile(path, bytes, err)) return 1;
    const BookInfo info = checkBook(bytes);
    const char* codeset = terminalCodeset();
    out << "book:   " << path << "\n"
        << "title:  " << utf8ToLocale(cp936ToUtf8(info.title), codeset) << "\n"
        << "author: " << utf8ToLocale(cp936ToUtf8(info.author), codeset) << "\n"
        << "slots:  " << info.slotCount << "\n"
        << "pages:  " << info.pageCount << "\n";
    for (std::size_t i = 0; i < info.pages.size(); ++i) {
        const auto& p = info.pages[i];
        out << std::setw(5) << i + 1 << "  offset " << std::setw(10) << p.offset << "  size "
            << std::setw(8) << p.size << "  " << p.width << 'x' << p.height << "  "
            << (p.components == 1   ? "gray"
                : p.components == 3 ? "colour"
                                    : "?")
            << "\n";
    }
    if (!info.sound()) {
        err << "folioforge: " << path << ": " << info.violation << "\n";
        return 1;
    }
    out << "sound: every rule of the book format holds\n";
    return 0;
}

// Writes one page whole or not at all: a failed write leaves no partial file, and an old file
// is replaced only with overwrite.
bool writePageFile(const std::string& name, std::span<const std::uint8_t> bytes, bool overwrite,
                   std::string& why) {
    AtomicFile file(name, ".part");
    if (!file.create() || !file.write(bytes.data(), bytes.size()) || !file.commit(overwrite))
        return why = file.error(), false;
    return true;
}

int page(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    PageJob job;
    std::optional<std::string> output, source;
    std::optional<int> quality;
    bool overwrite = false, onlySource = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (onlySource || a == "-" || a.empty() || a[0] != '-') {
            if (source) return usageError(err, "page takes one source picture", "page");
            source = a;
        } else if (a == "--") {
            onlySource = true;
        } else if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size())
                return usageError(err, "option '" + a + "' needs a file name", "page");
            output = args[++i];
        } else if (a == "--quality") {
            if (i + 1 >= args.size() || !(quality = parseQuality(args[i + 1])))
                return usageError(err, "option '--quality' needs a quality from 0 to 100", "page");
            ++i;
        } else if (a == "--color") {
            job.gray = false;
        } else if (a == "--crop") {
            job.crop = true;
        } else if (a == "--overwrite") {
            overwrite = true;
        } else {
            return usageError(err, "unknown option '" + a + "'", "page");
        }
    }
    if (!source) return usageError(err, "no source picture given", "page");
    if (!output || output->empty())
        return usageError(err, "no output file: give one with -o OUT.jpg", "page");
    const BookRequest defaults;
    job.path = *source;
    job.type = pageTypeOfPath(job.path);
    job.grayQuality = quality.value_or(defaults.grayQuality);
    job.colorQuality = quality.value_or(defaults.colorQuality);
    if (job.type == 0) {
        err << "folioforge: " << job.path << ": not an image file name\n";
        return 1;
    }
    if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(*output))) {
        err << "folioforge: " << *output << " exists; use --overwrite to replace it\n";
        return 1;
    }
    const MadePage made = makePage(job, nullptr, nullptr);
    if (!made.ok) {
        err << "folioforge: " << job.path << ": " << made.reason << "\n";
        return 1;
    }
    std::string why;
    if (!writePageFile(*output, *made.jpeg, overwrite, why)) {
        err << "folioforge: cannot write " << *output << ": " << why << "\n";
        return 1;
    }
    BookPageInfo info;
    checkJpegStream(*made.jpeg, info, why);
    out << "wrote " << *output << ": " << info.width << 'x' << info.height << ' '
        << (made.gray ? "gray" : "colour") << " page, quality " << made.quality << ", "
        << sizeText(made.jpeg->size()) << "\n";
    return 0;
}

int extract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        out << kExtractHelp;
        return 0;
    }
    std::vector<std::string> operands;
    bool overwrite = false;
    for (const auto& a : args) {
        if (a == "--overwrite")
            overwrite = true;
        else if (a.size() > 1 && a[0] == '-')
            return usageError(err, "unknown option '" + a + "'", "extract");
        else
            operands.push_back(a);
    }
    if (operands.size() != 2)
        return usageError(err, "extract takes a book and a folder", "extract");
    const std::string& path = operands[0];
    const std::filesystem::path dir = operands[1];
    std::vector<std::uint8_t> bytes;
    if (!readBookFile(path, bytes, err)) return 1;
    const BookInfo info = checkBook(bytes);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        err << "folioforge: cannot make the folder " << dir.string() << ": "
            << (ec ? ec.message() : "not a folder") << "\n";
        return 1;
    }
    auto name = [&](std::size_t i) { return (dir / bookPageName(i)).string(); };
    // Nothing is written when any page would replace a file already there.
    if (!overwrite) {
        for (std::size_t i = 0; i < info.pages.size(); ++i) {
            if (std::filesystem::exists(std::filesystem::symlink_status(name(i), ec))) {
                err << "folioforge: " << name(i) << " exists; use --overwrite to replace it\n";
                return 1;
            }
        }
    }
    int status = info.sound() ? 0 : 1;
    int written = 0;
    for (std::size_t i = 0; i < info.pages.size(); ++i) {
        const BookPageInfo& page = info.pages[i];
        if (!page.problem.empty()) {
            err << "folioforge: " << path << ": page " << i + 1 << " not written: " << page.problem
                << "\n";
            continue;
        }
        std::string why;
        if (!writePageFile(name(i), std::span(bytes).subspan(page.offset, page.size), overwrite,
                           why)) {
            err << "folioforge: cannot write " << name(i) << ": " << why << "\n";
            status = 1;
            continue;
        }
        ++written;
    }
    if (!info.sound()) err << "folioforge: " << path << ": " << info.violation << "\n";
    out << "wrote " << written << " page" << (written == 1 ? "" : "s") << " to " << dir.string()
        << "\n";
    return status;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return usageError(err, "no command given", nullptr);
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (isHelp(command)) {
        out << kUsage;
        return 0;
    }
    if (command == "-V" || command == "--version") {
        out << "folioforge " FOLIO_VERSION "\n"
               "Licence GPL-3.0-or-later: GNU GPL version 3 or later "
               "<https://www.gnu.org/licenses/gpl.html>.\n"
               "This is free software: you may change and share it. There is NO WARRANTY.\n";
        return 0;
    }
    if (const char* help = helpOf(command); help && asksForHelp(rest)) {
        out << help;
        return 0;
    }
    if (command == "probe") {
        const bool decode = !rest.empty() && rest[0] == "--decode";
        const std::vector<std::string> files(rest.begin() + (decode ? 1 : 0), rest.end());
        if (files.empty()) return usageError(err, "probe needs at least one file", "probe");
        return probe(files, decode, out, err);
    }
    if (command == "make") return make(rest, out, err);
    if (command == "page") return page(rest, out, err);
    if (command == "inspect") return inspect(rest, out, err);
    if (command == "extract") return extract(rest, out, err);
    return usageError(err, "unknown command '" + command + "'", nullptr);
}

std::optional<int> runUnlessWindow(const std::vector<std::string>& args,
                                   std::vector<std::string>& files, std::ostream& out,
                                   std::ostream& err) {
    files.clear();
    if (args.empty()) return std::nullopt;
    const std::string& first = args[0];
    if (isCommand(first) || first == "-V" || first == "--version") return run(args, out, err);
    if (asksForHelp(args)) return run({"--help"}, out, err);
    bool onlyFiles = false;
    for (const auto& word : args) {
        if (!onlyFiles && word == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && word.size() > 1 && word[0] == '-') {
            files.clear();
            return usageError(err, "unknown option '" + word + "'", nullptr);
        } else {
            files.push_back(word);
        }
    }
    // A mistyped command must not open the window; later words are the window's to report.
    if (first != "--" && !namesSomething(first)) {
        files.clear();
        const bool pathLike = first.find_first_of("./") != std::string::npos;
        return usageError(err,
                          pathLike ? "no such file or folder '" + first + "'"
                                   : "unknown command '" + first + "'",
                          nullptr);
    }
    return std::nullopt;
}

std::string noWindowMessage(const std::string& why) {
    std::string commands;
    for (const char* c : kCommands)
        commands += std::string(commands.empty() ? "" : ", ") + c;
    return "folioforge: cannot open the window: " + why + "; the " + commands +
           " commands work without one\n";
}

} // namespace folio::cli
