// Our pictures as Qt images, for the preview.
#pragma once

#include "book/making/book_builder.h"

#include <QImage>
#include <QString>

#include <string>
#include <vector>

namespace folio {
class Image;
}

namespace folio::ui {

// Our image as a Qt image, pixel for pixel (indexed stays indexed with its palette).
QImage toQImage(const Image& image);

struct PreviewPicture {
    bool hasType = false; // the name gives an image type
    bool loaded = false;
    QImage image;
};
// A fresh image each time, loaded as every caller loads a file.
PreviewPicture loadPreviewPicture(const std::string& path);

// A row's page as the book would hold it, decoded back for showing. Safe off the UI thread.
struct BookPicture {
    bool hasType = false;
    bool ok = false;
    MadePage page; // the very bytes MAKE writes for the row
    QImage image;
    QString reason;
};
BookPicture renderBookPage(const PageJob& job);
// Page `index` (from 0) of the pages the row gives with the job's spread and strip options:
// the job's picture planned among `strip` (the rows a strip may join it with; empty: alone).
// A row whose rows all went into the piece before shows that piece. index is clamped.
struct BookPages {
    BookPicture picture;
    int index = 0, count = 1;
};
BookPages renderRowPage(const PageJob& job, const std::vector<BookEntry>& strip, int index);

} // namespace folio::ui
