#include "book/pages/page_list.h"

#include <stdexcept>

namespace folio {

namespace {
const std::string kEmpty;

bool equalsIgnoreAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && !b[i];
}
} // namespace

bool isGrayFlag(const std::string& text) {
    return equalsIgnoreAsciiCase(text, "Yes");
}

void PageList::insertRow(int index, const std::string& text) {
    if (index < 0 || index > rowCount()) throw std::out_of_range("insertRow: bad index");
    PageRow row;
    row.cells[kCellFileName] = text;
    rows_.insert(rows_.begin() + index, std::move(row));
    if (observer_) observer_->rowInserted(index);
}

void PageList::deleteRow(int index) {
    if (!valid(index)) throw std::out_of_range("deleteRow: bad index");
    rows_.erase(rows_.begin() + index);
    if (observer_) observer_->rowDeleted(index);
}

const std::string& PageList::cellText(int index, int cell) const {
    if (!valid(index) || cell < 0 || cell >= kCellCount) return kEmpty;
    return rows_[static_cast<std::size_t>(index)].cells[static_cast<std::size_t>(cell)];
}

void PageList::setCellText(int index, int cell, const std::string& text) {
    if (!valid(index) || cell < 0 || cell >= kCellCount)
        throw std::out_of_range("setCellText: bad index");
    rows_[static_cast<std::size_t>(index)].cells[static_cast<std::size_t>(cell)] = text;
    if (observer_) observer_->cellChanged(index, cell);
}

int PageList::nextSelected(int after) const {
    for (int i = after < -1 ? 0 : after + 1; i < rowCount(); ++i)
        if (rows_[static_cast<std::size_t>(i)].selected) return i;
    return -1;
}

void PageList::setSelected(int index, bool selected) {
    if (!valid(index)) return;
    auto& flag = rows_[static_cast<std::size_t>(index)].selected;
    if (flag == selected) return;
    flag = selected;
    if (observer_) observer_->selectionChanged(index);
}

bool PageList::isSelected(int index) const {
    return valid(index) && rows_[static_cast<std::size_t>(index)].selected;
}

void PageList::moveRow(int from, int to) {
    // Carried out as a view would: read the texts, delete, insert, write the cells in order.
    const auto texts = row(from).cells;
    PageRef page = row(from).page;
    deleteRow(from);
    insertRow(to, texts[0]);
    for (int cell = 0; cell < kCellCount; ++cell)
        setCellText(to, cell, texts[static_cast<std::size_t>(cell)]);
    setPage(to, std::move(page));
}

PageRef pageOf(const PageRow& row) {
    return row.page.path == row.path() && row.page.kind != PageKind::None ? row.page
                                                                          : resolvePage(row.path());
}

void PageList::setPage(int index, PageRef page) {
    if (valid(index)) rows_[static_cast<std::size_t>(index)].page = std::move(page);
}

void deleteSelected(PageList& list) {
    for (int s = list.nextSelected(-1); s != -1; s = list.nextSelected(-1))
        list.deleteRow(s);
}

void moveSelectedToTop(PageList& list) {
    int t = 0;
    for (int s = list.nextSelected(-1); s != -1;) {
        const int n = list.nextSelected(s);
        list.moveRow(s, t++);
        s = n;
    }
}

void moveSelectedToBottom(PageList& list) {
    const int last = list.rowCount() - 1;
    for (int s = list.nextSelected(-1); s != -1; s = list.nextSelected(-1))
        list.moveRow(s, last);
}

void moveSelectedUp(PageList& list) {
    for (int s = list.nextSelected(-1); s != -1;) {
        const int n = list.nextSelected(s);
        list.moveRow(s, s == 0 ? 0 : s - 1);
        s = n;
    }
}

void moveSelectedDown(PageList& list) {
    const int last = list.rowCount() - 1;
    std::vector<int> selected;
    for (int s = list.nextSelected(-1); s != -1; s = list.nextSelected(s))
        selected.push_back(s);
    for (auto it = selected.rbegin(); it != selected.rend(); ++it)
        list.moveRow(*it, *it < last ? *it + 1 : last);
}

void toggleGray(PageList& list) {
    for (int s = list.nextSelected(-1); s != -1; s = list.nextSelected(s))
        list.setCellText(s, kCellGrayFlag,
                         isGrayFlag(list.cellText(s, kCellGrayFlag)) ? "No" : "Yes");
}

} // namespace folio
