// Making a book: every usable row of the page list becomes one 640-high JPEG page.
#pragma once

#include "book/format/book_format.h"
#include "book/image/Image.h"
#include "book/image/image_type.h"
#include "book/making/page_cache.h"
#include "book/making/page_options.h"
#include "book/making/page_part.h"
#include "book/making/platform.h"
#include "book/pages/page_list.h"
#include "book/sources/source.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace folio {

inline constexpr char kOverwriteQuestion[] = "文件已经存在，要覆盖吗？";
inline constexpr char kSuccessMessage[] = "文件制造成功!";

struct BookRequest {
    std::string fileName; // as typed; see bookFileName
    std::string title;    // UTF-8, stored as code page 936
    std::string author;
    PageOptions options;
    int jobs = 1; // pages prepared at once; 0 means one per processor
    // Pages one file may hold (1 to 1000); more become volumes STEM-1.QFB, STEM-2.QFB, ...
    int maxPages = 1000;
    // Pages made before, taken when their source and settings match and given every page
    // made now; null: every page is made afresh. The book is the same either way.
    PageCache* cache = nullptr;
};

// "noname" for an empty text; ".QFB" appended unless the text already ends so (any case).
std::string bookFileName(const std::string& text);

// Turns, grays and scales the loaded image in place into a 640-high page.
bool preparePageImage(Image& image, bool gray, std::string& reason);

// The page prepared as above, then encoded as a JPEG page.
// False with a reason when a step fails; the page must then be left out.
bool encodePage(Image& image, bool gray, int quality, std::vector<std::uint8_t>& jpeg,
                std::string& reason);

// Everything that decides one page's bytes.
struct PageJob {
    PageRef page;
    bool gray = true; // the row's mark; with autoColor the page's content decides instead
    PageOptions options;
    // The part of the picture (or the pictures of a strip) the page shows.
    PagePart part{};
    bool operator==(const PageJob&) const = default;
};

struct MadePage {
    bool ok = false;
    PageBytes jpeg;
    std::string reason; // why there is no page
    bool gray = false;  // as written
    int quality = 0;
};

// One page exactly as the book holds it: the builder, the preview's book view and the page
// command all make their pages here. A member path is read through sources (null: a reader
// of its own); cache may be null.
// slices: decoded strip slices shared between the pieces of a strip (null: none kept).
class StripSliceMemory;
MadePage makePage(const PageJob& job, SourceReader* sources, PageCache* cache,
                  StripSliceMemory* slices = nullptr);

// Whether the picture at path holds real colour, judged on the picture make --auto-color
// judges; nothing, with the reason, when it does not load. A member is read through sources
// (null: a reader of its own), so one reader over many members passes their archive once.
std::optional<bool> pictureHasColor(const PageRef& page, std::string& reason,
                                    SourceReader* sources = nullptr);

// One page of a book to be made: the page, its mark, and its row (for the report).
struct BookEntry {
    PageRef page;
    bool gray = true;
    int row = 0;
    // The first page of a source the user named (a command-line argument): volumes prefer
    // to break there. A new folder or container is seen from the paths.
    bool startsSource = false;
};

// The window's rows as MAKE takes them: each row's page as it was resolved when the row was
// added, gray where its flag cell says "Yes".
std::vector<BookEntry> bookEntries(const PageList& pages);

// Names the file, asks before replacing one, writes every usable entry's page in order and
// reports what was left out. More usable pages than request.maxPages become balanced volumes,
// all written before any takes its name; with no more, one book as always.
MakeReport makeBook(const std::vector<BookEntry>& entries, const BookRequest& request,
                    BookPlatform& platform, ProgressDisplay& progress);

} // namespace folio
