#include "book/pages/add_pages.h"

#include "book/base/natural_order.h"
#include "book/base/parallel.h"
#include "book/image/image_type.h"
#include "book/pages/file_order.h"
#include "book/sources/source.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace folio {

std::optional<FileFacts> DiskFileLookup::lookup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileFacts{static_cast<std::uint64_t>(st.st_size),
                     std::filesystem::path(path).filename().string()};
}

std::string resolutionText(std::uint32_t width, std::uint32_t height, std::uint16_t bpp) {
    return std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(bpp);
}

std::string fileSizeText(std::uint64_t bytes) {
    return std::to_string(bytes / 1024) + "KB";
}

void sortNaturally(std::vector<std::string>& paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return naturalLess(std::filesystem::path(a).filename().string(),
                           std::filesystem::path(b).filename().string());
    });
}

namespace {
struct Probe {
    PageRef page;
    bool loaded = false;
    std::string resolution;
    std::string reason;
    std::optional<FileFacts> memberFacts; // a member is found by reading it
};
} // namespace

std::vector<SkippedRow> appendImageFiles(PageList& list, const std::vector<std::string>& paths,
                                         FileLookup& lookup, int jobs) {
    // Reading the headers is the slow part (a cold disk, hundreds of files) and independent per
    // file; the tests that follow it (lookup, appending) stay in order on this thread.
    std::vector<Probe> probes(paths.size());
    SourceReader sources;
    sources.expect(paths);
    parallelFor(paths.size(), jobs, [&](std::size_t i) {
        Probe& probe = probes[i];
        probe.page = resolvePage(paths[i]);
        if (probe.page.kind == PageKind::None) {
            probe.reason = "not an image file name";
            return;
        }
        // A member's or rendered page's size cell is its own bytes or its share of the
        // document; a file's is looked up below, as the window looks it up.
        PageFacts facts;
        std::string reason;
        if (!probePage(probe.page, sources, facts, reason)) {
            probe.reason = "does not load: " + reason;
            return;
        }
        probe.loaded = true;
        probe.resolution =
            resolutionText(facts.picture.width, facts.picture.height, facts.picture.bpp);
        if (probe.page.kind != PageKind::File)
            probe.memberFacts = FileFacts{facts.bytes, facts.memberName};
    });

    std::vector<SkippedRow> skipped;
    int n = list.rowCount();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!probes[i].loaded) {
            skipped.push_back({-1, paths[i], probes[i].reason});
            continue;
        }
        const auto facts = probes[i].memberFacts ? probes[i].memberFacts : lookup.lookup(paths[i]);
        if (!facts) {
            skipped.push_back({-1, paths[i], "file not found"});
            continue;
        }
        list.insertRow(n, paths[i]);
        list.setCellText(n, kCellPath, paths[i]);
        list.setCellText(n, kCellFileName, facts->name);
        list.setCellText(n, kCellFileSize, fileSizeText(facts->size));
        list.setCellText(n, kCellResolution, probes[i].resolution);
        list.setCellText(n, kCellGrayFlag, "Yes");
        list.setPage(n, std::move(probes[i].page));
        ++n;
    }
    return skipped;
}

std::vector<SkippedRow> addPages(PageList& list, FileChooser& chooser, FileLookup& lookup, int jobs,
                                 std::vector<std::string>* containers) {
    auto chosen = chooser.chooseFiles(kChooserTitle, kChooserFilter);
    if (!chosen) return {};
    sortNaturally(*chosen);
    if (containers)
        for (const auto& path : *chosen)
            if (isContainerFile(path)) containers->push_back(path);
    std::vector<SkippedRow> skipped;
    expandContainers(*chosen, skipped);
    auto unusable = appendImageFiles(list, *chosen, lookup, jobs);
    skipped.insert(skipped.end(), unusable.begin(), unusable.end());
    return skipped;
}

} // namespace folio
