#include "book/sources/metadata.h"

#include "book/sources/source_internal.h"

#include <pugixml.hpp>

#include <algorithm>
#include <new>
#include <string_view>
#include <unordered_map>

namespace folio {

namespace sources {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

bool isBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
}

// A value as a title line: valid UTF-8, every run of spaces, line breaks and other control
// characters one space, none at the ends.
bool cleanValue(std::string_view raw, std::string_view what, std::string& out, std::string& why) {
    out.clear();
    if (!validUtf8(raw)) return why = std::string(what) + " is not valid UTF-8", false;
    for (char c : raw) {
        if (!isBlank(c))
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > kMaxMetadataValueBytes)
        return why = std::string(what) + " is longer than " +
                     std::to_string(kMaxMetadataValueBytes) + " bytes",
               false;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::string_view localName(const pugi::xml_node& node) {
    const std::string_view name = node.name();
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The namespace an element's prefix is bound to, from its own declarations or its
// ancestors'; empty when none is.
std::string_view namespaceOf(pugi::xml_node node) {
    const std::string_view name = node.name();
    const std::size_t colon = name.find(':');
    const std::string attr = colon == std::string_view::npos
                                 ? std::string("xmlns")
                                 : "xmlns:" + std::string(name.substr(0, colon));
    for (; node && node.type() == pugi::node_element; node = node.parent())
        if (const pugi::xml_attribute a = node.attribute(attr.c_str())) return a.value();
    return {};
}

// The deepest nesting of elements, walked without recursion.
bool nestedWithin(const pugi::xml_document& doc, std::size_t limit) {
    std::size_t depth = 0;
    pugi::xml_node node = doc.first_child();
    if (node) depth = 1;
    while (node) {
        if (node.type() == pugi::node_element && depth > limit) return false;
        if (const pugi::xml_node child = node.first_child()) {
            node = child;
            ++depth;
            continue;
        }
        while (!node.next_sibling()) {
            node = node.parent();
            --depth;
            if (!node || node == doc) return true;
        }
        node = node.next_sibling();
    }
    return true;
}

// The document parsed within the limits: no DTD, so no entity but the five predefined ones
// and character references; nothing is ever fetched.
bool loadXml(Bytes bytes, pugi::xml_document& doc, std::string& why, bool html = false) {
    if (bytes.size() > kMaxMetadataBytes) return why = "larger than 1 MiB", false;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (text.starts_with("\xFE\xFF") || text.starts_with("\xFF\xFE") ||
        (text.size() > 1 && (text[0] == '\0' || text[1] == '\0')))
        return why = "not UTF-8", false;
    // Refused by its mark alone, before any parsing: a DTD is where entities are declared.
    // XHTML may say only what kind of document it is (no internal subset, so no entity).
    static constexpr std::string_view kDoctype = "<!doctype";
    auto find = [&](std::string_view::iterator from) {
        return std::search(from, text.end(), kDoctype.begin(), kDoctype.end(), [](char a, char b) {
            return equalsNoCase({&a, 1}, {&b, 1});
        });
    };
    if (const auto at = find(text.begin()); at != text.end()) {
        const auto close = std::find(at, text.end(), '>');
        const std::string_view decl(at, close);
        const std::string_view rest = decl.substr(kDoctype.size());
        const bool bareHtml =
            html && close != text.end() && rest.size() >= 5 && isBlank(rest[0]) &&
            equalsNoCase(rest.substr(1, 4), "html") && (rest.size() == 5 || isBlank(rest[5])) &&
            decl.find_first_of("[<", 1) == std::string_view::npos && find(close) == text.end();
        if (!bareHtml)
            return why = "it has a document type declaration (<!DOCTYPE), which is not read", false;
    }
    const pugi::xml_parse_result result =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (result.status == pugi::status_out_of_memory) return why = "out of memory", false;
    if (!result) return why = "not well-formed XML", false;
    if (!nestedWithin(doc, kMaxXmlDepth))
        return why = "elements nested more than " + std::to_string(kMaxXmlDepth) + " deep", false;
    return true;
}

// The text of an element: its character data and CDATA sections, joined.
std::string textOf(const pugi::xml_node& element) {
    std::string text;
    for (const pugi::xml_node child : element.children())
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
    return text;
}

// The first child element of that local name (and namespace, when one is given) as a
// clean value; empty when there is none.
bool field(const pugi::xml_node& parent, std::string_view name, std::string_view ns,
           std::string& out, std::string& why) {
    out.clear();
    for (const pugi::xml_node child : parent.children()) {
        if (child.type() != pugi::node_element || localName(child) != name) continue;
        if (!ns.empty() && namespaceOf(child) != ns) continue;
        std::string tag(1, '<'); // not "<" + name: GCC 12 warns falsely (-Wrestrict) at -O3
        tag.append(name).push_back('>');
        return cleanValue(textOf(child), tag, out, why);
    }
    return true;
}

template <typename Parse>
bool parsed(Bytes xml, BookMetadata& out, std::string& warning, Parse parse) {
    out = {};
    warning.clear();
    try {
        pugi::xml_document doc;
        if (!loadXml(xml, doc, warning) || !parse(doc.document_element(), out, warning)) {
            out = {};
            return false;
        }
    } catch (const std::bad_alloc&) {
        out = {};
        warning = "out of memory";
        return false;
    }
    return !out.title.empty() || !out.author.empty() || out.rightToLeft;
}

constexpr std::string_view kDublinCore = "http://purl.org/dc/elements/1.1/";

} // namespace

bool parseComicInfo(Bytes xml, BookMetadata& out, std::string& warning) {
    return parsed(
        xml, out, warning, [](const pugi::xml_node& root, BookMetadata& meta, std::string& why) {
            if (localName(root) != "ComicInfo") return why = "not a ComicInfo document", false;
            std::string series, number, title, manga;
            if (!field(root, "Series", {}, series, why) ||
                !field(root, "Number", {}, number, why) || !field(root, "Title", {}, title, why) ||
                !field(root, "Writer", {}, meta.author, why) ||
                !field(root, "Manga", {}, manga, why))
                return false;
            if (series.empty())
                meta.title = title;
            else
                meta.title = number.empty() ? series : series + " " + number;
            meta.rightToLeft = equalsNoCase(manga, "YesAndRightToLeft");
            return true;
        });
}

bool parseOpf(Bytes xml, BookMetadata& out, std::string& warning) {
    return parsed(
        xml, out, warning, [](const pugi::xml_node& root, BookMetadata& meta, std::string& why) {
            if (localName(root) != "package") return why = "not an OPF package document", false;
            for (const pugi::xml_node part : root.children()) {
                if (part.type() != pugi::node_element) continue;
                if (localName(part) == "metadata" &&
                    (!field(part, "title", kDublinCore, meta.title, why) ||
                     !field(part, "creator", kDublinCore, meta.author, why)))
                    return false;
                if (localName(part) == "spine")
                    meta.rightToLeft =
                        std::string_view(part.attribute("page-progression-direction").value()) ==
                        "rtl";
            }
            return true;
        });
}

bool parseEpubContainer(Bytes xml, std::string& packagePath, std::string& warning) {
    packagePath.clear();
    warning.clear();
    try {
        pugi::xml_document doc;
        if (!loadXml(xml, doc, warning)) return false;
        const pugi::xml_node root = doc.document_element();
        if (localName(root) != "container") return warning = "not an EPUB container", false;
        pugi::xml_node chosen;
        for (const pugi::xml_node list : root.children()) {
            if (list.type() != pugi::node_element || localName(list) != "rootfiles") continue;
            for (const pugi::xml_node file : list.children()) {
                if (file.type() != pugi::node_element || localName(file) != "rootfile" ||
                    !*file.attribute("full-path").value())
                    continue;
                if (std::string_view(file.attribute("media-type").value()) ==
                    "application/oebps-package+xml") {
                    chosen = file;
                    break;
                }
                if (!chosen) chosen = file;
            }
            break;
        }
        if (!chosen) return warning = "it names no package document", false;
        const std::string_view path = chosen.attribute("full-path").value();
        if (!validUtf8(path) || path.size() > kMaxMetadataValueBytes ||
            std::any_of(path.begin(), path.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
            return warning = "the package document's path is not a valid name", false;
        packagePath = path;
        return true;
    } catch (const std::bad_alloc&) {
        packagePath.clear();
        warning = "out of memory";
        return false;
    }
}

namespace {
// A reference as written: valid UTF-8, not too long, no control characters.
bool plainReference(std::string_view ref) {
    return !ref.empty() && validUtf8(ref) && ref.size() <= kMaxMetadataValueBytes &&
           std::none_of(ref.begin(), ref.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}
} // namespace

bool parseOpfSpine(Bytes xml, std::vector<SpineItem>& items, std::string& why) {
    items.clear();
    why.clear();
    try {
        pugi::xml_document doc;
        if (!loadXml(xml, doc, why)) return false;
        const pugi::xml_node root = doc.document_element();
        if (localName(root) != "package") return why = "not an OPF package document", false;
        std::unordered_map<std::string_view, SpineItem> manifest;
        pugi::xml_node spine;
        for (const pugi::xml_node part : root.children()) {
            if (part.type() != pugi::node_element) continue;
            if (localName(part) == "spine" && !spine) spine = part;
            if (localName(part) != "manifest") continue;
            for (const pugi::xml_node item : part.children()) {
                if (item.type() != pugi::node_element || localName(item) != "item") continue;
                if (manifest.size() >= kMaxArchiveMembers)
                    return why = "more than " + std::to_string(kMaxArchiveMembers) +
                                 " manifest items",
                           false;
                const std::string_view href = item.attribute("href").value();
                if (!plainReference(href)) continue;
                manifest.emplace(
                    item.attribute("id").value(),
                    SpineItem{std::string(href), item.attribute("media-type").value()});
            }
        }
        if (!spine) return why = "it has no spine", false;
        for (const pugi::xml_node ref : spine.children()) {
            if (ref.type() != pugi::node_element || localName(ref) != "itemref") continue;
            if (items.size() >= kMaxArchiveMembers)
                return why = "more than " + std::to_string(kMaxArchiveMembers) + " spine items",
                       false;
            const auto it = manifest.find(ref.attribute("idref").value());
            // An item the manifest lacks has no file: its href stays empty.
            items.push_back(it == manifest.end() ? SpineItem{} : it->second);
        }
        return true;
    } catch (const std::bad_alloc&) {
        items.clear();
        why = "out of memory";
        return false;
    }
}

bool firstPicture(Bytes xml, std::string& href, std::string& why) {
    href.clear();
    why.clear();
    try {
        pugi::xml_document doc;
        if (!loadXml(xml, doc, why, true)) return false;
        // Document order: the first <img src> or SVG <image href> (or xlink:href).
        const pugi::xml_node found = doc.find_node([](const pugi::xml_node& n) {
            if (n.type() != pugi::node_element) return false;
            const std::string_view name = localName(n);
            return (name == "img" && *n.attribute("src").value()) ||
                   (name == "image" &&
                    (*n.attribute("href").value() || *n.attribute("xlink:href").value()));
        });
        if (!found) return true;
        std::string_view ref = localName(found) == "img" ? found.attribute("src").value()
                                                         : found.attribute("href").value();
        if (ref.empty()) ref = found.attribute("xlink:href").value();
        if (!plainReference(ref)) return why = "the picture's reference is not a valid name", false;
        href = ref;
        return true;
    } catch (const std::bad_alloc&) {
        href.clear();
        why = "out of memory";
        return false;
    }
}

namespace {

// "ComicInfo.xml" in any letter case, at the top of the archive ("./" before it allowed, as
// tar writes it).
bool isComicInfo(std::string_view name) {
    if (name.starts_with("./")) name.remove_prefix(2);
    return equalsNoCase(name, "ComicInfo.xml");
}

} // namespace

bool archiveMetadata(const std::string& path, BookMetadata& out, std::string& warning) {
    std::string why;
    const auto archive = ArchiveHandle::openFile(path, why);
    if (!archive) return false;
    ArchiveHandle::Entry entry;
    for (std::size_t count = 0; count < kMaxArchiveMembers; ++count) {
        if (archive->next(entry, why) != ArchiveHandle::Step::Entry) return false;
        if (!entry.regular || !isComicInfo(entry.name)) continue;
        std::vector<std::uint8_t> xml;
        if (entry.sizeKnown && entry.size > kMaxMetadataBytes)
            why = "larger than 1 MiB";
        else if (archive->readData(entry, kMaxMetadataBytes, xml, why) &&
                 parseComicInfo(xml, out, why))
            return true;
        if (!why.empty()) warning = entry.name + " ignored: " + why;
        return false;
    }
    return false;
}

bool pdfMetadata(const std::string& path, BookMetadata& out, std::string& warning) {
    std::string why;
    const auto pdf = PdfDocument::openFile(path, {}, why);
    if (!pdf) return false;
    if (!cleanValue(pdf->title(), "the title", out.title, why) ||
        !cleanValue(pdf->author(), "the author", out.author, why)) {
        out = {};
        warning = "the PDF's title and author ignored: " + why;
        return false;
    }
    return !out.title.empty() || !out.author.empty();
}

} // namespace sources

bool readContainerMetadata(const std::string& containerPath, BookMetadata& out,
                           std::string& warning) {
    out = {};
    warning.clear();
    const sources::ContainerRow* row = sources::containerRow(containerKindOfName(containerPath));
    return row && row->metadata && row->metadata(containerPath, out, warning);
}

} // namespace folio
