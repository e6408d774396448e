// What did not become a page, and why: every stage that leaves something out says so in
// these terms, and the front ends list them.
#pragma once

#include <string>

namespace folio {

// A row of the page list that did not become a page, and why.
struct SkippedRow {
    int row = 0;
    std::string path;
    std::string reason;
};

} // namespace folio
