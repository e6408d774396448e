// Adding pages: chosen files that name an image type, have a sound header and exist become
// new rows.
#pragma once

#include "book/base/report.h"
#include "book/pages/page_list.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace folio {

inline constexpr char kChooserTitle[] = "Add image file";
inline constexpr char kChooserFilter[] = "*.JPG;*.GIF;*.TIFF;*.BMP";
// The chooser's further entries, after kChooserFilter: the newer picture kinds; comic
// archives, books, PDF, DjVu and EPUB; then everything. A chosen container stands for its pages.
inline constexpr char kChooserPictureFilter[] =
    "WebP, HEIF, AVIF, JPEG XL and Windows metafile pictures (*.webp *.heic *.heif *.avif *.jxl "
    "*.wmf *.emf)";
inline constexpr char kChooserContainerFilter[] =
    "Comic archives, books, PDF, DjVu and EPUB (*.cbz *.zip *.cbr *.rar *.cb7 *.7z *.cbt *.tar "
    "*.tar.gz *.tgz *.tar.bz2 *.tar.xz *.QFB *.pdf *.djvu *.djv *.epub)";
inline constexpr char kChooserAllFilter[] = "All files (*)";

class FileChooser {
  public:
    virtual ~FileChooser() = default;
    // The chosen paths, or nothing when the user cancelled.
    virtual std::optional<std::vector<std::string>> chooseFiles(const std::string& title,
                                                                const std::string& filter) = 0;
};

struct FileFacts {
    std::uint64_t size = 0;
    std::string name; // without directory, as the file system stores it
};

class FileLookup {
  public:
    virtual ~FileLookup() = default;
    virtual std::optional<FileFacts> lookup(const std::string& path) = 0;
};

// The file system itself.
class DiskFileLookup final : public FileLookup {
  public:
    std::optional<FileFacts> lookup(const std::string& path) override;
};

// The row texts of an added page.
std::string resolutionText(std::uint32_t width, std::uint32_t height, std::uint16_t bpp);
std::string fileSizeText(std::uint64_t bytes);

// Appends a row for every path that names an image type, whose header is sound and that is
// found, in the order given, each unselected with the gray flag "Yes". Only headers are read,
// so a file whose pixel data is broken still gets a row (making the book skips it). A member
// of an archive or book (CONTAINER/MEMBER) is found by reading it: its row shows the member's
// file name and uncompressed size. Files are probed `jobs` at a time (0: one per processor);
// rows are still appended in order. Returns the files left out.
std::vector<SkippedRow> appendImageFiles(PageList& list, const std::vector<std::string>& paths,
                                         FileLookup& lookup, int jobs = 0);

// Several chosen files come in natural order of their names (page2 before page10).
void sortNaturally(std::vector<std::string>& paths);

// The ADD FILE command: cancel changes nothing; chosen archives and books give their pages.
// The chosen containers are added to containers when given (their metadata may name the book).
std::vector<SkippedRow> addPages(PageList& list, FileChooser& chooser, FileLookup& lookup,
                                 int jobs = 0, std::vector<std::string>* containers = nullptr);

} // namespace folio
