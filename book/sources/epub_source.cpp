#include "book/image/image_type.h"
#include "book/sources/metadata.h"
#include "book/sources/source_internal.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace folio::sources {

namespace {

constexpr std::string_view kContainerXml = "META-INF/container.xml";

using Texts = std::unordered_map<std::string, std::vector<std::uint8_t>>;

// One pass over the EPUB: its regular members' names, and the bytes of the wanted ones (at
// most the metadata limit each; a larger one is named in tooLarge).
struct Pass {
    std::unordered_set<std::string> names;
    Texts texts;
    std::unordered_set<std::string> tooLarge;
    std::string error;
};
// Where the EPUB's bytes are: a file, or bytes in memory (the fuzz target).
struct Origin {
    const std::string* path = nullptr;
    std::span<const std::uint8_t> data;
    std::unique_ptr<ArchiveHandle> open(std::string& why) const {
        return path ? ArchiveHandle::openFile(*path, why) : ArchiveHandle::openMemory(data, why);
    }
};

Pass readPass(const Origin& origin, const std::unordered_set<std::string>& wanted,
              const SourceLimits& limits) {
    Pass pass;
    const auto handle = origin.open(pass.error);
    if (!handle) return pass;
    ArchiveHandle::Entry entry;
    std::string why;
    for (std::size_t count = 0;; ++count) {
        const auto step = handle->next(entry, why);
        if (step == ArchiveHandle::Step::End) break;
        if (step == ArchiveHandle::Step::Error) return pass.error = why, pass;
        if (count >= limits.maxMembers)
            return pass.error = "more than " + std::to_string(limits.maxMembers) + " members", pass;
        if (!entry.regular || !pass.names.insert(entry.name).second || !wanted.count(entry.name))
            continue;
        std::vector<std::uint8_t> bytes;
        if (handle->readData(entry, kMaxMetadataBytes, bytes, why))
            pass.texts.emplace(entry.name, std::move(bytes));
        else if (why == "member too large")
            pass.tooLarge.insert(entry.name);
    }
    return pass;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A reference resolved against the folder of the document it is written in, as a member
// path: fragment dropped, percent-decoded, "." and ".." walked; false when it names no member
// of the EPUB (another scheme, an absolute path, a path that climbs out of the EPUB).
bool resolveReference(std::string_view folder, std::string_view ref, std::string& member) {
    member.clear();
    ref = ref.substr(0, ref.find_first_of("#?"));
    const std::size_t colon = ref.find(':');
    if (ref.empty() || ref[0] == '/' || (colon != std::string_view::npos && colon < ref.find('/')))
        return false;
    std::string decoded;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        if (ref[i] != '%') {
            decoded += ref[i];
            continue;
        }
        if (i + 2 >= ref.size()) return false;
        const int hi = hexValue(ref[i + 1]), lo = hexValue(ref[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    std::vector<std::string> parts;
    auto walk = [&](std::string_view path) {
        std::size_t start = 0;
        while (start <= path.size()) {
            const std::size_t slash = std::min(path.find('/', start), path.size());
            const std::string_view part = path.substr(start, slash - start);
            start = slash + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (parts.empty()) return false;
                parts.pop_back();
            } else {
                parts.emplace_back(part);
            }
        }
        return true;
    };
    if (!walk(folder) || !walk(decoded) || parts.empty()) return false;
    for (const std::string& part : parts)
        member += (member.empty() ? "" : "/") + part;
    return true;
}

std::string_view folderOf(std::string_view member) {
    const std::size_t slash = member.rfind('/');
    return slash == std::string_view::npos ? std::string_view{} : member.substr(0, slash);
}

// The package document's member path and bytes.
bool readPackage(const Origin& path, const SourceLimits& limits, Pass& pass, std::string& opf,
                 std::string& why) {
    pass = readPass(path, {std::string(kContainerXml)}, limits);
    if (!pass.error.empty()) return why = pass.error, false;
    const auto container = pass.texts.find(std::string(kContainerXml));
    if (container == pass.texts.end())
        return why = "not an EPUB: it has no META-INF/container.xml", false;
    std::string written;
    if (!parseEpubContainer(container->second, written, why))
        return why = std::string(kContainerXml) + ": " + why, false;
    if (!resolveReference({}, written, opf) || !pass.names.count(opf))
        return why = "its package document is missing", false;
    pass = readPass(path, {opf}, limits);
    if (!pass.error.empty()) return why = pass.error, false;
    if (!pass.texts.count(opf)) return why = "its package document cannot be read", false;
    return true;
}

ArchiveMembers listPictures(const Origin& path, const SourceLimits& limits) {
    ArchiveMembers result;
    Pass pass;
    std::string opf;
    if (!readPackage(path, limits, pass, opf, result.error)) return result;
    std::vector<SpineItem> spine;
    if (!parseOpfSpine(pass.texts[opf], spine, result.error)) {
        result.error = opf + ": " + result.error;
        return result;
    }
    // Each spine item as a member, and the documents among them read in one more pass.
    std::vector<std::string> items(spine.size());
    std::unordered_set<std::string> documents;
    for (std::size_t i = 0; i < spine.size(); ++i) {
        if (!resolveReference(folderOf(opf), spine[i].href, items[i])) continue;
        if (!spine[i].mediaType.starts_with("image/") || spine[i].mediaType == "image/svg+xml")
            documents.insert(items[i]);
    }
    const Pass docs = readPass(path, documents, limits);
    if (!docs.error.empty()) return result.error = docs.error, result;
    std::unordered_set<std::string> listed;
    for (std::size_t i = 0; i < spine.size(); ++i) {
        const std::string& item = items[i];
        if (item.empty()) {
            result.leftOut.emplace_back(opf + "#spine" + std::to_string(i + 1),
                                        "a spine item the manifest does not name");
            continue;
        }
        std::string picture = item, why;
        const std::string& type = spine[i].mediaType;
        if (documents.count(item)) {
            const auto text = docs.texts.find(item);
            std::string href;
            if (docs.tooLarge.count(item))
                why = "larger than 1 MiB";
            else if (text == docs.texts.end())
                why = "missing from the EPUB";
            else if (!firstPicture(text->second, href, why))
                ;
            else if (href.empty())
                why = "no picture on this page";
            else if (!resolveReference(folderOf(item), href, picture))
                why = "its picture is not a file in the EPUB";
        } else if (type.empty() || !type.starts_with("image/")) {
            why = "neither a page nor a picture";
        }
        if (why.empty() && imageTypeOfPath(picture) == 0)
            why = "its picture's name gives no image type";
        if (why.empty() && !docs.names.count(picture)) why = "its picture is missing from the EPUB";
        if (why.empty() && !listed.insert(picture).second)
            why = "the same picture as an earlier page";
        if (why.empty())
            result.pages.push_back(picture);
        else
            result.leftOut.emplace_back(item, why);
    }
    if (result.pages.empty()) {
        result.error = "the EPUB has no pictures: a book of text only gives no pages";
        result.leftOut.clear();
    }
    return result;
}

} // namespace

ArchiveMembers listEpub(const std::string& path, const SourceLimits& limits) {
    return listPictures({&path, {}}, limits);
}

MemoryEpubRun runEpubInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits) {
    MemoryEpubRun run;
    ArchiveMembers members = listPictures({nullptr, data}, limits);
    run.pages = std::move(members.pages);
    for (auto& [member, why] : members.leftOut)
        run.leftOut.push_back(std::move(why));
    run.error = std::move(members.error);
    return run;
}

bool epubMetadata(const std::string& path, BookMetadata& out, std::string& warning) {
    Pass pass;
    std::string opf, why;
    if (!readPackage({&path, {}}, {}, pass, opf, why)) return false;
    if (parseOpf(pass.texts[opf], out, why)) return true;
    if (!why.empty()) warning = opf + " ignored: " + why;
    return false;
}

} // namespace folio::sources
