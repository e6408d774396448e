// The one place the windows meet the image library and the builder. book/ refuses to be
// compiled into a Qt Widgets unit, so this part is built with Qt Gui alone.
#pragma once

#include "book/page_list.h"
#include "book/platform.h"

#include <QImage>

#include <string>

namespace folio {
class Image;
class PageCache;
} // namespace folio

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

struct MakeFields {
    std::string fileName; // file-system bytes
    std::string title;    // UTF-8
    std::string author;   // UTF-8
    int grayQuality = 50;
    int colorQuality = 80;
    int jobs = 0;
    PageCache* cache = nullptr; // pages kept from earlier makes of the session
};
MakeReport makeBookFrom(const PageList& pages, const MakeFields& fields, BookPlatform& platform,
                        ProgressDisplay& progress);

} // namespace folio::ui
