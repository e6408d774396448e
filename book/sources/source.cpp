#include "book/base/file_read.h"
#include "book/base/natural_order.h"
#include "book/base/page_names.h"
#include "book/image/Image.h"
#include "book/image/image_type.h"
#include "book/sources/source_internal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <list>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace folio {

namespace {

std::string lowered(std::string_view text) {
    std::string s(text);
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string joined(const std::string& container, const std::string& member) {
    return container + "/" + member;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

namespace sources {

std::uint64_t memberByteLimit(const SourceLimits& limits) {
    return limits.maxMemberBytes ? limits.maxMemberBytes : kMaxFileBytes;
}

MemberRole memberRole(std::string_view member) {
    // Resource forks, dot-files and anything in a hidden folder are not pages, nor are
    // Thumbs.db, ComicInfo.xml and other files whose names give no image type.
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = member.find('/', start);
        const std::string_view part = member.substr(start, slash - start);
        if (part == "__MACOSX") return MemberRole::Ignored;
        if (part.size() > 1 && part[0] == '.' && part != "..") return MemberRole::Ignored;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (containerKindOfName(member) != ContainerKind::None) return MemberRole::Nested;
    return imageTypeOfPath(member) == 0 ? MemberRole::Ignored : MemberRole::Page;
}

} // namespace sources

namespace {
struct ContainerName {
    ContainerKind kind = ContainerKind::None;
    std::size_t extension = 0; // bytes of the extension that gave the kind
};

ContainerName containerName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string name =
        lowered(slash == std::string_view::npos ? path : path.substr(slash + 1));
    // Something must come before the extension: a bare ".zip" is a dot-file. The longest
    // extension wins (".tar.gz" over ".gz").
    ContainerName found;
    for (const sources::ContainerRow& row : sources::containerRows())
        for (std::string_view ext : row.extensions)
            if (name.size() > ext.size() && name.ends_with(ext) && ext.size() > found.extension)
                found = {row.kind, ext.size()};
    return found;
}
} // namespace

ContainerKind containerKindOfName(std::string_view path) {
    return containerName(path).kind;
}

std::string containerStem(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    name.remove_suffix(containerName(name).extension);
    return std::string(name);
}

SourcePath resolveSourcePath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return {};
    for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
        std::string prefix = path.substr(0, slash);
        const ContainerKind kind = containerKindOfName(prefix);
        if (kind != ContainerKind::None && isRegularFile(prefix))
            return {std::move(prefix), kind, path.substr(slash + 1)};
    }
    return {};
}

bool isContainerFile(const std::string& path) {
    return containerKindOfName(path) != ContainerKind::None && isRegularFile(path);
}

std::string bookPageName(std::size_t index) {
    return pageNumberName(index) + ".jpg";
}

std::string pdfPageName(std::size_t index) {
    return pageNumberName(index);
}

ImageType pageTypeOfPath(const std::string& path) {
    return resolvePage(path).type;
}

PageRef resolvePage(const std::string& path) {
    PageRef page;
    page.path = path;
    page.type = imageTypeOfPath(path);
    if (page.type == 0) {
        // Only a name ending in a page number can be a document's page.
        const std::size_t slash = path.rfind('/');
        std::size_t index = 0;
        if (slash == std::string::npos || !parsePageNumber(path.substr(slash + 1), index))
            return page;
        SourcePath source = resolveSourcePath(path);
        const sources::ContainerRow* row = sources::containerRow(source.kind);
        if (!row || !row->rendered || source.member != path.substr(slash + 1)) return page;
        page.type = row->rendered->pageType;
        page.kind = PageKind::Rendered;
        page.source = std::move(source);
        return page;
    }
    page.source = resolveSourcePath(path);
    page.kind = page.source.isMember() ? PageKind::Member : PageKind::File;
    return page;
}

std::string memberFileName(std::string_view member) {
    const std::size_t slash = member.rfind('/');
    return std::string(slash == std::string_view::npos ? member : member.substr(slash + 1));
}

ContainerListing listContainer(const std::string& path, const SourceLimits& limits) {
    ContainerListing listing;
    const sources::ContainerRow* row = sources::containerRow(containerKindOfName(path));
    // A name no row knows is still tried as an archive: libarchive says what it is not.
    if (!row) row = sources::containerRow(ContainerKind::Archive);
    sources::ArchiveMembers members = row->list(path, limits);
    if (!members.error.empty()) {
        listing.skipped.push_back({-1, path, members.error});
        return listing;
    }
    if (!row->keepsOrder) std::stable_sort(members.pages.begin(), members.pages.end(), naturalLess);
    for (const auto& m : members.pages)
        listing.pages.push_back(joined(path, m));
    for (const auto& [m, why] : members.leftOut)
        listing.skipped.push_back({-1, joined(path, m), why});
    return listing;
}

void expandContainers(std::vector<std::string>& paths, std::vector<SkippedRow>& skipped) {
    std::vector<std::string> out;
    out.reserve(paths.size());
    for (auto& p : paths) {
        if (!isContainerFile(p)) {
            out.push_back(std::move(p));
            continue;
        }
        ContainerListing listing = listContainer(p);
        std::move(listing.pages.begin(), listing.pages.end(), std::back_inserter(out));
        std::move(listing.skipped.begin(), listing.skipped.end(), std::back_inserter(skipped));
    }
    paths = std::move(out);
}

// --- reading ----------------------------------------------------------------------------

namespace {
// Members passed on the way to another one and kept for the reader that asked for them.
constexpr std::uint64_t kStashBytes = std::uint64_t{256} << 20;
constexpr std::size_t kOpenArchives = 4;

struct OpenArchive {
    std::string container;
    std::unique_ptr<sources::ArchiveHandle> handle;
    std::unordered_set<std::string> passed; // member names since the archive was opened
};

// Rendered documents opened by one thread, most recently used first. A document is reopened
// when its file changed since (another size, time or inode).
constexpr std::size_t kOpenDocumentsPerThread = 2;
struct OpenDocument {
    const sources::RenderedRow* row = nullptr;
    std::string path;
    struct stat identity {};
    std::unique_ptr<sources::RenderedDocument> doc;
};

// ZIPs the reader looked at, most recently used first; a null directory is a container that
// is not a ZIP libzip reads (and stays libarchive's).
struct OpenZip {
    std::string container;
    std::unique_ptr<sources::ZipDirectory> dir;
};

// Only an archive that starts as a ZIP does: a TAR or 7z ending in a ZIP's directory (a ZIP
// as its last member) must not be read as that ZIP.
constexpr std::array<unsigned char, 4> kZipStart{'P', 'K', 3, 4};
bool startsAsZip(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    std::array<unsigned char, 4> head{};
    return f && std::fread(head.data(), 1, head.size(), f.get()) == head.size() &&
           head == kZipStart;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
} // namespace

struct SourceReader::State {
    SourceLimits limits;
    std::mutex mutex;
    std::list<OpenArchive> open; // most recently used first
    std::unordered_map<std::string, int> expected;
    std::unordered_map<std::string, std::vector<std::uint8_t>> stash;
    std::uint64_t stashBytes = 0;
    std::list<OpenZip> zips;
    // Every thread has its own list (the map's nodes stay where they are as it grows), so
    // no document is ever used by two threads.
    std::mutex documentMutex;
    std::unordered_map<std::thread::id, std::list<OpenDocument>> documents;

    const sources::RenderedDocument* documentFor(const PageRef& page, std::size_t& index,
                                                 std::uint64_t* fileBytes, std::string& why);
    bool readMember(const SourcePath& source, const std::string& path,
                    std::vector<std::uint8_t>& out, std::string& why);
    sources::ZipDirectory::Fetch fetchZipped(const SourcePath& source, const std::string& path,
                                             sources::ZipDirectory::Packed& packed,
                                             std::string& why);
    OpenArchive* reopen(const std::string& container, std::string& why);
    void delivered(const std::string& path) {
        if (auto it = expected.find(path); it != expected.end() && --it->second <= 0)
            expected.erase(it);
    }
};

SourceReader::SourceReader(SourceLimits limits) : state_(std::make_unique<State>()) {
    state_->limits = limits;
}

SourceReader::~SourceReader() = default;

void SourceReader::expect(const std::vector<std::string>& paths) {
    std::lock_guard lock(state_->mutex);
    for (const auto& p : paths)
        ++state_->expected[p];
}

OpenArchive* SourceReader::State::reopen(const std::string& container, std::string& why) {
    open.remove_if([&](const OpenArchive& a) { return a.container == container; });
    auto handle = sources::ArchiveHandle::openFile(container, why);
    if (!handle) return nullptr;
    open.push_front({container, std::move(handle), {}});
    while (open.size() > kOpenArchives)
        open.pop_back();
    return &open.front();
}

sources::ZipDirectory::Fetch SourceReader::State::fetchZipped(const SourcePath& source,
                                                              const std::string& path,
                                                              sources::ZipDirectory::Packed& packed,
                                                              std::string& why) {
    using Fetch = sources::ZipDirectory::Fetch;
    if (stash.count(path)) return Fetch::NotMine;
    auto it = std::find_if(zips.begin(), zips.end(),
                           [&](const OpenZip& z) { return z.container == source.container; });
    if (it == zips.end()) {
        zips.push_front({source.container, startsAsZip(source.container)
                                               ? sources::ZipDirectory::openFile(source.container)
                                               : nullptr});
        while (zips.size() > kOpenArchives)
            zips.pop_back();
    } else {
        zips.splice(zips.begin(), zips, it);
    }
    sources::ZipDirectory* dir = zips.front().dir.get();
    if (!dir) return Fetch::NotMine;
    const Fetch fetched = dir->fetch(source.member, sources::memberByteLimit(limits), packed, why);
    if (fetched == Fetch::Done) delivered(path);
    return fetched;
}

bool SourceReader::State::readMember(const SourcePath& source, const std::string& path,
                                     std::vector<std::uint8_t>& out, std::string& why) {
    const std::uint64_t maxBytes = sources::memberByteLimit(limits);
    if (auto it = stash.find(path); it != stash.end()) {
        out = std::move(it->second);
        stashBytes -= out.size();
        stash.erase(it);
        delivered(path);
        return true;
    }
    auto it = std::find_if(open.begin(), open.end(),
                           [&](const OpenArchive& a) { return a.container == source.container; });
    OpenArchive* archive = nullptr;
    bool fresh = false;
    if (it == open.end() || it->passed.count(source.member)) {
        if (!(archive = reopen(source.container, why))) return false;
        fresh = true;
    } else {
        open.splice(open.begin(), open, it);
        archive = &open.front();
    }
    // Forward from where the archive stands; once round from its start if the member lies
    // behind (its first occurrence is the one the listing gave).
    sources::ArchiveHandle::Entry entry;
    for (;;) {
        const auto step = archive->handle->next(entry, why);
        if (step == sources::ArchiveHandle::Step::Error) {
            open.pop_front();
            return false;
        }
        if (step == sources::ArchiveHandle::Step::End) {
            if (fresh) {
                why = "no such member in the archive";
                return false;
            }
            if (!(archive = reopen(source.container, why))) return false;
            fresh = true;
            continue;
        }
        if (!entry.regular || !archive->passed.insert(entry.name).second) continue;
        if (entry.name == source.member) {
            if (!archive->handle->readData(entry, maxBytes, out, why)) return false;
            delivered(path);
            return true;
        }
        const std::string other = joined(source.container, entry.name);
        if (expected.count(other) && !stash.count(other) && entry.sizeKnown &&
            stashBytes + entry.size <= kStashBytes) {
            std::vector<std::uint8_t> bytes;
            std::string ignored;
            if (archive->handle->readData(entry, maxBytes, bytes, ignored)) {
                stashBytes += bytes.size();
                stash.emplace(other, std::move(bytes));
            }
        }
    }
}

bool SourceReader::read(const PageRef& page, std::vector<std::uint8_t>& out, std::string& reason) {
    const SourcePath& source = page.source;
    const std::string& path = page.path;
    const std::uint64_t maxBytes = sources::memberByteLimit(state_->limits);
    if (!source.isMember()) return readWholeFile(path, maxBytes, out, reason);
    if (const sources::ContainerRow* row = sources::containerRow(source.kind)) {
        if (row->readMember)
            return row->readMember(source.container, source.member, maxBytes, out, reason);
        if (row->rendered) return reason = row->rendered->noSuchPage, false;
    }
    sources::ZipDirectory::Packed packed;
    {
        std::lock_guard lock(state_->mutex);
        switch (state_->fetchZipped(source, path, packed, reason)) {
        case sources::ZipDirectory::Fetch::Failed:
            return false;
        case sources::ZipDirectory::Fetch::NotMine:
            return state_->readMember(source, path, out, reason);
        case sources::ZipDirectory::Fetch::Done:
            break;
        }
    }
    // Outside the lock: the other workers go on reading while this one inflates.
    return sources::unpackZipMember(packed, out, reason);
}

const sources::RenderedDocument* SourceReader::State::documentFor(const PageRef& page,
                                                                  std::size_t& index,
                                                                  std::uint64_t* fileBytes,
                                                                  std::string& why) {
    const SourcePath& source = page.source;
    const sources::ContainerRow* row = sources::containerRow(source.kind);
    const sources::RenderedRow* kind = row ? row->rendered : nullptr;
    if (!kind) {
        // A page its container does not render: said as its page type's kind says it, else
        // as the table's first rendered kind does.
        const char* said = nullptr;
        for (const sources::ContainerRow& r : sources::containerRows())
            if (r.rendered && (!said || r.rendered->pageType == page.type))
                said = r.rendered->noSuchPage;
        return why = said, nullptr;
    }
    if (!sources::pdfPageIndex(source.member, index)) return why = kind->noSuchPage, nullptr;
    struct stat identity {};
    if (::stat(source.container.c_str(), &identity) != 0) return why = "cannot open file", nullptr;
    std::list<OpenDocument>* mine = nullptr;
    {
        std::lock_guard lock(documentMutex);
        mine = &documents[std::this_thread::get_id()];
    }
    auto it = std::find_if(mine->begin(), mine->end(), [&](const OpenDocument& d) {
        return d.row == kind && d.path == source.container && sameFile(d.identity, identity);
    });
    if (it == mine->end()) {
        auto doc = kind->open(source.container, limits, why);
        if (!doc) return nullptr;
        mine->remove_if([&](const OpenDocument& d) { return d.path == source.container; });
        mine->push_front({kind, source.container, identity, std::move(doc)});
        while (mine->size() > kOpenDocumentsPerThread)
            mine->pop_back();
        it = mine->begin();
    } else {
        mine->splice(mine->begin(), *mine, it);
    }
    if (index >= it->doc->pages()) return why = kind->noSuchPage, nullptr;
    if (fileBytes) *fileBytes = static_cast<std::uint64_t>(identity.st_size);
    return it->doc.get();
}

bool SourceReader::probeRendered(const PageRef& page, ImageFacts& facts, std::uint64_t& shareBytes,
                                 std::string& reason) {
    std::size_t index = 0;
    std::uint64_t fileBytes = 0;
    const sources::RenderedDocument* doc = state_->documentFor(page, index, &fileBytes, reason);
    if (!doc || !doc->renderSize(index, kPdfRenderHeight, facts, reason)) return false;
    shareBytes = fileBytes / doc->pages();
    return true;
}

bool SourceReader::render(const PageRef& page, Image& out, std::string& reason) {
    std::size_t index = 0;
    const sources::RenderedDocument* doc = state_->documentFor(page, index, nullptr, reason);
    return doc && doc->render(index, kPdfRenderHeight, out, reason);
}

bool readSourceBytes(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason) {
    SourceReader reader;
    return reader.read(path, out, reason);
}

namespace {
bool factsOf(const Image& image, ImageFacts& facts) {
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}
} // namespace

bool probePage(const PageRef& page, SourceReader& sources, PageFacts& facts, std::string& reason,
               bool decode) {
    facts = {};
    if (page.kind == PageKind::None) return reason = "not an image file name", false;
    if (page.kind != PageKind::File) facts.memberName = memberFileName(page.source.member);
    Image image(0);
    if (page.kind == PageKind::Rendered) {
        if (!sources.probeRendered(page, facts.picture, facts.bytes, reason)) return false;
        return !decode || (sources.render(page, image, reason) && factsOf(image, facts.picture));
    }
    if (page.kind == PageKind::File) {
        if (!decode) return probeImageFile(page.path, page.type, facts.picture, reason);
        if (!loadImageFile(image, page.path, page.type))
            return reason = image.GetLastError(), false;
        return factsOf(image, facts.picture);
    }
    std::vector<std::uint8_t> bytes;
    if (!sources.read(page, bytes, reason)) return false;
    facts.bytes = bytes.size();
    if (!decode) return probeImageMemory(bytes, page.type, facts.picture, reason);
    if (!image.LoadMemory(bytes, page.type) || !image.IsValid())
        return reason = image.GetLastError(), false;
    return factsOf(image, facts.picture);
}

bool loadPage(const PageRef& page, SourceReader& sources, Image& out, std::string& reason) {
    switch (page.kind) {
    case PageKind::None:
        return reason = "not an image file name", false;
    case PageKind::Rendered:
        return sources.render(page, out, reason);
    case PageKind::File:
        if (loadImageFile(out, page.path, page.type)) return true;
        return reason = out.GetLastError(), false;
    case PageKind::Member:
        break;
    }
    std::vector<std::uint8_t> bytes;
    if (!sources.read(page, bytes, reason)) return false;
    if (out.LoadMemory(bytes, page.type) && out.IsValid()) return true;
    return reason = out.GetLastError(), false;
}

namespace sources {

MemoryArchiveRun runArchiveInMemory(std::span<const std::uint8_t> data,
                                    const SourceLimits& limits) {
    MemoryArchiveRun run;
    auto lister = ArchiveHandle::openMemory(data, run.error);
    if (!lister) return run;
    ArchiveMembers members = listArchive(*lister, limits);
    run.error = members.error;
    run.members = std::move(members.pages);
    // Each listed member read back in one pass, as the builder reads them.
    auto reader = ArchiveHandle::openMemory(data, run.error);
    if (!reader) return run;
    std::unordered_set<std::string> wanted(run.members.begin(), run.members.end());
    ArchiveHandle::Entry entry;
    std::string why;
    std::size_t entries = 0;
    while (entries++ <= limits.maxMembers &&
           reader->next(entry, why) == ArchiveHandle::Step::Entry) {
        if (!entry.regular || !wanted.erase(entry.name)) continue;
        std::vector<std::uint8_t> bytes;
        run.sizes.push_back(
            reader->readData(entry, memberByteLimit(limits), bytes, why) ? bytes.size() : SIZE_MAX);
    }
    return run;
}

MemoryZipRun runZipInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits) {
    MemoryZipRun run;
    std::string why;
    auto lister = ArchiveHandle::openMemory(data, why);
    if (!lister) return run;
    run.members = listArchive(*lister, limits).pages;
    run.sizes.assign(run.members.size(), SIZE_MAX);
    run.reasons.resize(run.members.size());
    const bool zip = data.size() >= kZipStart.size() &&
                     std::equal(kZipStart.begin(), kZipStart.end(), data.begin());
    auto dir = zip ? ZipDirectory::openMemory(data) : nullptr;
    if (!(run.opened = dir != nullptr)) return run;
    for (std::size_t i = 0; i < run.members.size(); ++i) {
        ZipDirectory::Packed packed;
        std::vector<std::uint8_t> bytes;
        const auto fetched =
            dir->fetch(run.members[i], memberByteLimit(limits), packed, run.reasons[i]);
        if (fetched == ZipDirectory::Fetch::Done && unpackZipMember(packed, bytes, run.reasons[i]))
            run.sizes[i] = bytes.size();
    }
    return run;
}

} // namespace sources

} // namespace folio
