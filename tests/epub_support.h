// EPUB books for the tests: a ZIP with container.xml, a package document and its spine.
#pragma once

#include "tests/archive_support.h"
#include "tests/test_support.h"

#include <string>
#include <vector>

namespace folio::test {

struct EpubItem {
    std::string id, href, mediaType; // href relative to OEBPS/
    std::string body;                // empty: the member is written by the caller
};

// The members of an EPUB whose package document OEBPS/content.opf lists items in the
// manifest in the order given, with the spine in spineOrder (item ids).
inline std::vector<ArchiveMember> epubMembers(const std::vector<EpubItem>& items,
                                              const std::vector<std::string>& spineOrder,
                                              const std::string& metadata = {}) {
    std::string opf = "<?xml version=\"1.0\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" "
                      "version=\"3.0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">" +
                      metadata + "</metadata><manifest>";
    for (const EpubItem& item : items)
        opf += "<item id=\"" + item.id + "\" href=\"" + item.href + "\" media-type=\"" +
               item.mediaType + "\"/>";
    opf += "</manifest><spine>";
    for (const std::string& id : spineOrder)
        opf += "<itemref idref=\"" + id + "\"/>";
    opf += "</spine></package>";
    std::vector<ArchiveMember> members = {
        {"mimetype", textBytes("application/epub+zip")},
        {"META-INF/container.xml",
         textBytes("<?xml version=\"1.0\"?><container version=\"1.0\" "
                   "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
                   "<rootfile full-path=\"OEBPS/content.opf\" "
                   "media-type=\"application/oebps-package+xml\"/></rootfiles></container>")},
        {"OEBPS/content.opf", textBytes(opf)}};
    for (const EpubItem& item : items)
        if (!item.body.empty()) members.push_back({"OEBPS/" + item.href, textBytes(item.body)});
    return members;
}

inline std::string xhtmlShowing(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html "
           "xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>p</title></head><body>" +
           inner + "</body></html>";
}

} // namespace folio::test
