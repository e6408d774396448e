// Our pictures as Qt images, for the preview.
#pragma once

#include <QImage>

#include <string>

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

} // namespace folio::ui
