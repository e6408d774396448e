#include "pdf_support.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace folio::test {

namespace {

struct CairoDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, CairoDeleter>;
using Context = std::unique_ptr<cairo_t, CairoDeleter>;

void paintScan(cairo_t* cr, const PdfPage& page) {
    Surface scan(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(page.scanWidth),
                                            static_cast<int>(page.scanHeight)));
    cairo_surface_flush(scan.get());
    unsigned char* data = cairo_image_surface_get_data(scan.get());
    const int stride = cairo_image_surface_get_stride(scan.get());
    for (std::uint32_t y = 0; y < page.scanHeight; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
        for (std::uint32_t x = 0; x < page.scanWidth; ++x) {
            const Color c = page.pixel(x, y);
            row[x] = std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b;
        }
    }
    cairo_surface_mark_dirty(scan.get());
    cairo_save(cr);
    cairo_scale(cr, page.width / page.scanWidth, page.height / page.scanHeight);
    cairo_set_source_surface(cr, scan.get(), 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
}

void drawText(cairo_t* cr, const PdfPage& page) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 2);
    cairo_rectangle(cr, 36, 36, page.width - 72, page.height - 72);
    cairo_stroke(cr);
    cairo_select_font_face(cr, "serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 14);
    double y = 72;
    for (const std::string& line : page.lines) {
        cairo_move_to(cr, 54, y);
        cairo_show_text(cr, line.c_str());
        y += 20;
    }
}

} // namespace

std::vector<std::uint8_t> pdfBytes(const std::vector<PdfPage>& pages, const std::string& title,
                                   const std::string& author) {
    std::vector<std::uint8_t> out;
    {
        Surface surface(cairo_pdf_surface_create_for_stream(
            [](void* closure, const unsigned char* data, unsigned int length) {
                auto* bytes = static_cast<std::vector<std::uint8_t>*>(closure);
                bytes->insert(bytes->end(), data, data + length);
                return CAIRO_STATUS_SUCCESS;
            },
            &out, pages.front().width, pages.front().height));
        // A fixed date keeps the written files, the committed seeds among them, reproducible.
        cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATE_DATE,
                                       "2026-01-01T00:00:00Z");
        if (!title.empty())
            cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE, title.c_str());
        if (!author.empty())
            cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_AUTHOR,
                                           author.c_str());
        Context cr(cairo_create(surface.get()));
        for (const PdfPage& page : pages) {
            cairo_pdf_surface_set_size(surface.get(), page.width, page.height);
            if (page.pixel) paintScan(cr.get(), page);
            if (!page.lines.empty()) drawText(cr.get(), page);
            cairo_show_page(cr.get());
        }
        cr.reset();
        cairo_surface_finish(surface.get());
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
            throw std::runtime_error("cairo could not write the PDF");
    }
    return out;
}

std::vector<std::uint8_t> lockedPdf() {
    // RC4 40-bit (revision 2); U is not what the empty password gives, so a user password
    // is needed, and O does not unlock with the empty owner password either.
    const std::string hex32(64, 'A');
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>",
        "<< /Filter /Standard /V 1 /R 2 /Length 40 /P -44 /O <" + hex32 + "> /U <" +
            std::string(64, '5') + "> >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    const std::string id(32, '7');
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R /Encrypt 4 0 R /ID [<" + id + "> <" + id + ">] >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return {pdf.begin(), pdf.end()};
}

} // namespace folio::test
