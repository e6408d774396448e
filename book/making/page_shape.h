// What a page's own content says about it: whether it holds real colour, and where its
// paper margins end. Both are opt-in steps of making a page.
#pragma once

#include "book/image/Image.h"

#include <cstdint>
#include <string>

namespace folio {

// True when the picture holds real colour: a photo, a coloured figure, a stamp or logo of
// a small part of the page. A gray scan saved in colour (JPEG chroma noise), colour fringes
// along black-on-white edges and yellowed or tinted paper are not colour. The verdict is
// taken on the picture reduced to its page size, so a picture and its page-sized reduction
// give the same answer.
bool isColorPicture(const Image& picture);

struct ContentBox {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;
};

// The part of the picture to keep once its uniform near-white or near-black border is cut,
// leaving a margin of about 1% of the content's size. The whole picture when it has no such
// border, or when what lies inside is too small to be the page's content (a page number or
// a speck on an empty page).
ContentBox contentBox(const Image& picture);

// Cuts the picture to the rectangle, which lies within it (nothing to do when it is the whole
// picture). False with Image::Create's reason, or an empty one when memory ran out.
bool cutPicture(Image& picture, const ContentBox& rect, std::string& why);

// Cuts the picture to its content box; false with a reason when memory runs out.
bool cropToContent(Image& picture, std::string& reason);

} // namespace folio
