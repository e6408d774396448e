#include "book/format/book_check.h"

#include "book/format/book_header.h"
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"

namespace folio {

bool checkJpegStream(std::span<const std::uint8_t> jpeg, BookPageInfo& info, std::string& why) {
    ByteReader r(jpeg);
    if (r.u16be() != 0xFFD8) return why = "does not start with a JPEG start-of-image marker", false;
    bool frame = false;
    for (;;) {
        if (r.u8() != 0xFF) return why = "broken JPEG marker structure", false;
        std::uint8_t marker = r.u8();
        while (marker == 0xFF && r.ok())
            marker = r.u8();
        if (!r.ok()) return why = "JPEG stream ends before its image data", false;
        if (marker == 0xD9) return why = "JPEG stream has no image data", false;
        const std::uint16_t len = r.u16be();
        if (!r.ok() || len < 2 || len - 2u > r.remaining())
            return why = "JPEG segment runs past the page", false;
        const std::size_t segmentEnd = r.pos() + len - 2;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            r.u8(); // precision
            info.height = r.u16be();
            info.width = r.u16be();
            info.components = r.u8();
            frame = true;
        }
        r.seek(segmentEnd);
        if (marker == 0xDA) break;
    }
    if (!frame) return why = "JPEG stream has no frame header", false;
    // Entropy-coded data and any further scans: the stream must end with EOI, exactly.
    const auto rest = r.all().subspan(r.pos());
    for (std::size_t i = 0; i + 1 < rest.size(); ++i) {
        if (rest[i] != 0xFF || rest[i + 1] == 0x00 || rest[i + 1] == 0xFF) continue;
        if (rest[i + 1] == 0xD9) {
            if (r.pos() + i + 2 != jpeg.size())
                return why = "bytes follow the JPEG end-of-image marker", false;
            return true;
        }
    }
    return why = "JPEG stream has no end-of-image marker", false;
}

bool readPageTable(std::span<const std::uint8_t> header, std::vector<BookPageInfo>& pages,
                   std::string& why) {
    pages.clear();
    if (header.size() < BookHeader::kSize) return why = "shorter than a book's header", false;
    ByteReader r(header);
    const auto magic = r.take(4);
    if (std::string(magic.begin(), magic.end()) != "QFBS") return why = "magic is not QFBS", false;
    r.seek(BookHeader::kPageCountOffset);
    const std::uint32_t count = r.u32le();
    if (count > BookHeader::kSlotCount)
        return why = "page count " + std::to_string(count) + " exceeds 1000", false;
    std::uint64_t offset = BookHeader::kSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        BookPageInfo page;
        page.offset = offset;
        page.size = r.u32le();
        offset += page.size;
        pages.push_back(page);
    }
    return true;
}

BookInfo checkBook(std::span<const std::uint8_t> file) {
    BookInfo info;
    auto violate = [&](std::string why) {
        if (info.violation.empty()) info.violation = std::move(why);
        return info;
    };
    if (file.size() < BookHeader::kSize)
        return violate("file is " + std::to_string(file.size()) + " bytes, shorter than the " +
                       std::to_string(BookHeader::kSize) + "-byte header");
    ByteReader r(file);
    const auto magic = r.take(4);
    if (std::string(magic.begin(), magic.end()) != "QFBS") return violate("magic is not QFBS");
    info.slotCount = r.u16le();
    auto text = [&](std::size_t offset) {
        std::string s;
        for (std::size_t i = 0; i < BookHeader::kTextBytes && file[offset + i]; ++i)
            s += static_cast<char>(file[offset + i]);
        return s;
    };
    info.title = text(BookHeader::kTitleOffset);
    info.author = text(BookHeader::kAuthorOffset);
    r.seek(BookHeader::kPageCountOffset);
    info.pageCount = r.u32le();
    if (info.slotCount != BookHeader::kSlotCount)
        violate("slot count is " + std::to_string(info.slotCount) + ", not 1000");
    for (std::size_t i = 206; i < 212; ++i)
        if (file[i] != 0) violate("reserved byte " + std::to_string(i) + " is not zero");
    if (info.pageCount > BookHeader::kSlotCount)
        return violate("page count " + std::to_string(info.pageCount) + " exceeds 1000");

    std::uint64_t offset = BookHeader::kSize;
    r.seek(BookHeader::kPageSizesOffset);
    for (std::uint32_t i = 0; i < BookHeader::kSlotCount; ++i) {
        const std::uint32_t size = r.u32le();
        if (i >= info.pageCount) {
            if (size != 0)
                violate("size entry " + std::to_string(i) + " past the last page is not 0");
            continue;
        }
        BookPageInfo page;
        page.offset = offset;
        page.size = size;
        if (size == 0) {
            page.problem = "has size 0";
        } else if (offset + size > file.size()) {
            page.problem = "runs past the end of the file";
        } else {
            std::string why;
            const auto bytes = file.subspan(offset, size);
            if (!checkJpegStream(bytes, page, why)) {
                page.problem = "is not a sound JPEG stream: " + why;
            } else {
                Image decoded;
                std::string err;
                if (!codecs::decodeJpeg(bytes, decoded, err))
                    page.problem = "does not decode: " + err;
            }
        }
        if (!page.problem.empty()) violate("page " + std::to_string(i) + " " + page.problem);
        offset += size;
        info.pages.push_back(page);
    }
    if (offset != file.size())
        violate("file is " + std::to_string(file.size()) + " bytes, the header accounts for " +
                std::to_string(offset));
    return info;
}

} // namespace folio
