// Small Windows metafiles (WMF and EMF) written record by record, for the tests and the seed
// generator alike. Header-only, like ByteWriter.
#pragma once

#include "tests/test_support.h"

#include <cstdint>
#include <vector>

namespace folio::test {

struct MetaRect {
    int left, top, right, bottom;
};
struct MetaColor {
    std::uint8_t r, g, b;
};

// One WMF record: its function and its 16-bit parameters.
struct WmfRecord {
    std::uint16_t function;
    std::vector<std::uint16_t> params;
};

inline std::uint16_t w16(int v) {
    return static_cast<std::uint16_t>(v);
}

// A WMF whose frame is `frame` in logical units: with a placeable header (1440 units an inch)
// or, without, given by the window origin and extent alone. The records follow those two.
inline std::vector<std::uint8_t> wmfFile(bool placeable, MetaRect frame,
                                         const std::vector<WmfRecord>& records) {
    std::vector<WmfRecord> all{
        {0x020B, {w16(frame.top), w16(frame.left)}},
        {0x020C, {w16(frame.bottom - frame.top), w16(frame.right - frame.left)}}};
    all.insert(all.end(), records.begin(), records.end());
    all.push_back({0x0000, {}});
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    if (placeable) {
        const std::uint16_t fields[] = {
            0xCDD7, 0x9AC6, 0, w16(frame.left), w16(frame.top), w16(frame.right), w16(frame.bottom),
            1440,   0,      0};
        std::uint16_t checksum = 0;
        for (std::uint16_t f : fields) {
            w.u16le(f);
            checksum ^= f;
        }
        w.u16le(checksum);
    }
    std::uint32_t words = 9, largest = 0, objects = 0;
    for (const WmfRecord& r : all) {
        const auto size = static_cast<std::uint32_t>(3 + r.params.size());
        words += size;
        largest = std::max(largest, size);
        objects += (r.function & 0xFF) >= 0xF7 || r.function == 0x0142;
    }
    w.u16le(1).u16le(9).u16le(0x300).u32le(words).u16le(objects).u32le(largest).u16le(0);
    for (const WmfRecord& r : all) {
        w.u32le(static_cast<std::uint32_t>(3 + r.params.size())).u16le(r.function);
        for (std::uint16_t p : r.params)
            w.u16le(p);
    }
    return out;
}

// Records for a filled rectangle without an outline; `firstObject` is the object slot the
// brush takes (the pen takes the next).
inline std::vector<WmfRecord> wmfFilledRect(MetaRect r, MetaColor c, int firstObject = 0) {
    return {{0x02FC, {0, w16(c.r | c.g << 8), c.b, 0}}, // CREATEBRUSHINDIRECT, solid
            {0x012D, {w16(firstObject)}},
            {0x02FA, {5, 0, 0, 0, 0}}, // CREATEPENINDIRECT, PS_NULL
            {0x012D, {w16(firstObject + 1)}},
            {0x041B, {w16(r.bottom), w16(r.right), w16(r.top), w16(r.left)}}};
}

inline std::vector<std::uint8_t> wmfRectangle(bool placeable, MetaRect frame, MetaRect rect,
                                              MetaColor colour) {
    return wmfFile(placeable, frame, wmfFilledRect(rect, colour));
}

// A bitmap of 2 x 2 24-bit pixels with its info header, as 16-bit parameters.
inline std::vector<std::uint16_t> dib2x2Words() {
    std::vector<std::uint8_t> b;
    ByteWriter w(b);
    w.u32le(40).u32le(2).u32le(2).u16le(1).u16le(24).u32le(0).u32le(16).u32le(0).u32le(0);
    w.u32le(0).u32le(0);
    w.u8(0).u8(0).u8(255).u8(0).u8(255).u8(0).u16le(0); // red, green
    w.u8(255).u8(0).u8(0).u8(0).u8(0).u8(0).u16le(0);   // blue, black
    std::vector<std::uint16_t> words;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        words.push_back(static_cast<std::uint16_t>(b[i] | b[i + 1] << 8));
    return words;
}

// A WMF with most kinds of drawing: shapes, lines, text and a bitmap.
inline std::vector<std::uint8_t> wmfShapes() {
    std::vector<WmfRecord> r = wmfFilledRect({10, 10, 60, 40}, {200, 30, 30});
    r.push_back({0x0418, {90, 190, 50, 120}});          // ELLIPSE
    r.push_back({0x0325, {3, 10, 90, 50, 60, 90, 95}}); // POLYLINE
    r.push_back({0x0214, {5, 5}});                      // MOVETO
    r.push_back({0x0213, {95, 195}});                   // LINETO
    r.push_back({0x0209, {0x00FF, 0}});                 // SETTEXTCOLOR
    r.push_back({0x0521, {2, 'A' | 'b' << 8, 70, 20}}); // TEXTOUT "Ab"
    std::vector<std::uint16_t> blit{0x0020, 0x00CC, 0, 2, 2, 0, 0, 20, 20, 70, 150};
    const auto dib = dib2x2Words();
    blit.insert(blit.end(), dib.begin(), dib.end());
    r.push_back({0x0F43, blit}); // STRETCHDIB, SRCCOPY
    return wmfFile(true, {0, 0, 200, 100}, r);
}

// One EMF record: its type and its 32-bit fields.
struct EmfRecord {
    std::uint32_t type;
    std::vector<std::uint32_t> fields;
};

inline std::uint32_t e32(int v) {
    return static_cast<std::uint32_t>(v);
}

// An EMF whose header bounds are `bounds` (device pixels), then the records and the end.
inline std::vector<std::uint8_t> emfFile(MetaRect bounds, const std::vector<EmfRecord>& records) {
    std::vector<EmfRecord> all = records;
    all.push_back({14, {0, 16, 20}}); // EOF: no palette
    std::uint32_t bytes = 88;
    for (const EmfRecord& r : all)
        bytes += 8 + 4 * static_cast<std::uint32_t>(r.fields.size());
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u32le(1).u32le(88);
    for (int v : {bounds.left, bounds.top, bounds.right, bounds.bottom})
        w.u32le(e32(v));
    // The frame in 0.01 mm for a device of 1024 x 768 pixels on 320 x 240 mm.
    for (int v : {bounds.left, bounds.top, bounds.right, bounds.bottom})
        w.u32le(e32(v * 3125 / 100));
    w.text(" EMF").u32le(0x10000).u32le(bytes).u32le(static_cast<std::uint32_t>(all.size() + 1));
    w.u16le(4).u16le(0).u32le(0).u32le(0).u32le(0);
    w.u32le(1024).u32le(768).u32le(320).u32le(240);
    for (const EmfRecord& r : all) {
        w.u32le(r.type).u32le(8 + 4 * static_cast<std::uint32_t>(r.fields.size()));
        for (std::uint32_t f : r.fields)
            w.u32le(f);
    }
    return out;
}

inline std::vector<EmfRecord> emfFilledRect(MetaRect r, MetaColor c) {
    const std::uint32_t colorref = c.r | c.g << 8 | static_cast<std::uint32_t>(c.b) << 16;
    return {{39, {1, 0, colorref, 0}}, // CREATEBRUSHINDIRECT in slot 1, solid
            {37, {1}},                 // SELECTOBJECT
            {37, {0x80000008}},        // SELECTOBJECT, the stock NULL_PEN
            {43, {e32(r.left), e32(r.top), e32(r.right), e32(r.bottom)}}}; // RECTANGLE
}

inline std::vector<std::uint8_t> emfRectangle(MetaRect bounds, MetaRect rect, MetaColor colour) {
    return emfFile(bounds, emfFilledRect(rect, colour));
}

// An EMF with most kinds of drawing: shapes, lines and a bitmap.
inline std::vector<std::uint8_t> emfShapes() {
    std::vector<EmfRecord> r = emfFilledRect({10, 10, 60, 40}, {30, 30, 200});
    r.push_back({42, {120, 50, 190, 90}}); // ELLIPSE
    r.push_back(
        {87, {10, 50, 90, 95, 3, 10 | 50u << 16, 60 | 90u << 16, 90 | 95u << 16}}); // POLYLINE16
    r.push_back({27, {5, 5}});                                                      // MOVETOEX
    r.push_back({54, {195, 95}});                                                   // LINETO
    // STRETCHDIBITS of the 2 x 2 bitmap: its info right after the fixed fields (80 bytes).
    std::vector<std::uint32_t> blit{150, 70, 170, 90,  150, 70, 0,          0,  2,
                                    2,   80, 40,  120, 16,  0,  0x00CC0020, 20, 20};
    const auto dib = dib2x2Words();
    for (std::size_t i = 0; i + 1 < dib.size(); i += 2)
        blit.push_back(dib[i] | static_cast<std::uint32_t>(dib[i + 1]) << 16);
    r.push_back({81, blit});
    return emfFile({0, 0, 200, 100}, r);
}

} // namespace folio::test
