// The book being put together: ordered rows of five text cells, each with the page it was
// added for, and the editing commands.
#pragma once

#include "book/sources/source.h"

#include <array>
#include <string>
#include <vector>

namespace folio {

enum PageCell : int {
    kCellFileName = 0,
    kCellResolution = 1,
    kCellFileSize = 2,
    kCellGrayFlag = 3,
    kCellPath = 4,
};
inline constexpr int kCellCount = 5;

struct PageRow {
    std::array<std::string, kCellCount> cells;
    bool selected = false;
    // What the path cell named when the row was added; a row whose path cell was set
    // otherwise is resolved again when the book is made.
    PageRef page;

    const std::string& fileName() const { return cells[kCellFileName]; }
    const std::string& resolution() const { return cells[kCellResolution]; }
    const std::string& fileSize() const { return cells[kCellFileSize]; }
    const std::string& grayFlag() const { return cells[kCellGrayFlag]; }
    const std::string& path() const { return cells[kCellPath]; }
};

// Receives every change of the list, so a view can mirror it row for row.
class PageListObserver {
  public:
    virtual ~PageListObserver() = default;
    virtual void rowInserted(int index) = 0;
    virtual void rowDeleted(int index) = 0;
    virtual void cellChanged(int index, int cell) = 0;
    virtual void selectionChanged(int index) = 0;
};

class PageList {
  public:
    int rowCount() const { return static_cast<int>(rows_.size()); }
    // Inserts an unselected row at index (0..rowCount) with cell 0 set to text.
    void insertRow(int index, const std::string& text);
    void deleteRow(int index);
    // The empty text for an index or cell that names nothing.
    const std::string& cellText(int index, int cell) const;
    void setCellText(int index, int cell, const std::string& text);
    // The smallest selected index greater than after, or -1.
    int nextSelected(int after) const;
    void setSelected(int index, bool selected);
    bool isSelected(int index) const;
    // Takes the row out and re-inserts its texts and page at to (counted without it),
    // unselected.
    void moveRow(int from, int to);
    void setPage(int index, PageRef page);

    const PageRow& row(int index) const { return rows_.at(static_cast<std::size_t>(index)); }
    void setObserver(PageListObserver* observer) { observer_ = observer; }

  private:
    bool valid(int index) const { return index >= 0 && index < rowCount(); }

    std::vector<PageRow> rows_;
    PageListObserver* observer_ = nullptr;
};

// The row's page: as resolved when the row was added, or resolved now when its path cell was
// set otherwise.
PageRef pageOf(const PageRow& row);

// True when a gray flag text means "make this page gray": "Yes" in any letter case.
bool isGrayFlag(const std::string& text);

// The six editing commands of the main window.
void deleteSelected(PageList& list);
void moveSelectedToTop(PageList& list);
void moveSelectedToBottom(PageList& list);
void moveSelectedUp(PageList& list);
void moveSelectedDown(PageList& list);
void toggleGray(PageList& list);

} // namespace folio
