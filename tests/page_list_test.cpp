#include "book/pages/page_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace folio {
namespace {

// "A* B C* D": rows named by letter, a star marks a selected row.
PageList listFrom(const std::string& layout) {
    PageList list;
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (layout[i] == ' ' || layout[i] == '*') continue;
        const int row = list.rowCount();
        list.insertRow(row, std::string(1, layout[i]));
        list.setCellText(row, kCellPath, std::string("/p/") + layout[i] + ".jpg");
        list.setCellText(row, kCellGrayFlag, "Yes");
        if (i + 1 < layout.size() && layout[i + 1] == '*') list.setSelected(row, true);
    }
    return list;
}

std::string describe(const PageList& list) {
    std::string out;
    for (int i = 0; i < list.rowCount(); ++i) {
        if (!out.empty()) out += ' ';
        out += list.cellText(i, kCellFileName);
        if (list.isSelected(i)) out += '*';
    }
    return out;
}

struct CommandCase {
    const char* name;
    void (*command)(PageList&);
    const char* before;
    const char* after;
};

class ListCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ListCommands, BeforeAndAfter) {
    const auto& c = GetParam();
    PageList list = listFrom(c.before);
    c.command(list);
    EXPECT_EQ(describe(list), c.after) << c.name << " on " << c.before;
    // Every row keeps its own texts through the moves.
    for (int i = 0; i < list.rowCount(); ++i)
        EXPECT_EQ(list.cellText(i, kCellPath), "/p/" + list.cellText(i, kCellFileName) + ".jpg");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListCommands,
    ::testing::Values(CommandCase{"delete", deleteSelected, "A* B C* D", "B D"},
                      CommandCase{"delete", deleteSelected, "A* B* C* D*", ""},
                      CommandCase{"top", moveSelectedToTop, "A B* C D*", "B D A C"},
                      CommandCase{"top", moveSelectedToTop, "A* B C D", "A B C D"},
                      CommandCase{"bottom", moveSelectedToBottom, "A* B C* D", "B D A C"},
                      CommandCase{"bottom", moveSelectedToBottom, "A B C D*", "A B C D"},
                      CommandCase{"up", moveSelectedUp, "A B* C* D", "B C A D"},
                      CommandCase{"up", moveSelectedUp, "A* B C* D", "A C B D"},
                      CommandCase{"up", moveSelectedUp, "A* B* C D", "B A C D"},
                      CommandCase{"up", moveSelectedUp, "A* B* C* D*", "B C D A"},
                      CommandCase{"down", moveSelectedDown, "A B* C* D", "A D B C"},
                      CommandCase{"down", moveSelectedDown, "A* B C* D", "B A D C"},
                      CommandCase{"down", moveSelectedDown, "A B C* D*", "A B D C"},
                      CommandCase{"down", moveSelectedDown, "A* B* C* D*", "D A B C"},
                      // One selected row stays in place but loses its selection.
                      CommandCase{"top", moveSelectedToTop, "A*", "A"},
                      CommandCase{"bottom", moveSelectedToBottom, "A*", "A"},
                      CommandCase{"up", moveSelectedUp, "A*", "A"},
                      CommandCase{"down", moveSelectedDown, "A*", "A"},
                      // Nothing selected, or nothing at all: no change.
                      CommandCase{"delete", deleteSelected, "A B C", "A B C"},
                      CommandCase{"top", moveSelectedToTop, "A B C", "A B C"},
                      CommandCase{"bottom", moveSelectedToBottom, "A B C", "A B C"},
                      CommandCase{"up", moveSelectedUp, "A B C", "A B C"},
                      CommandCase{"down", moveSelectedDown, "A B C", "A B C"},
                      CommandCase{"down", moveSelectedDown, "", ""},
                      CommandCase{"delete", deleteSelected, "", ""},
                      // Larger lists: selected rows travel in their order.
                      CommandCase{"top", moveSelectedToTop, "A B C* D E* F*", "C E F A B D"},
                      CommandCase{"bottom", moveSelectedToBottom, "A* B C* D E F", "B D E F A C"},
                      CommandCase{"up", moveSelectedUp, "A B C* D E* F", "A C B E D F"},
                      CommandCase{"down", moveSelectedDown, "A B* C D* E F", "A C B E D F"}));

TEST(ToggleGray, SwitchesYesAndEverythingElseAndKeepsSelection) {
    PageList list = listFrom("A* B* C* D* E");
    const char* before[] = {"Yes", "No", "yes", "", "Yes"};
    for (int i = 0; i < 5; ++i)
        list.setCellText(i, kCellGrayFlag, before[i]);
    toggleGray(list);
    const char* after[] = {"No", "Yes", "No", "Yes", "Yes"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list.cellText(i, kCellGrayFlag), after[i]) << i;
    EXPECT_EQ(describe(list), "A* B* C* D* E");
    toggleGray(list);
    EXPECT_EQ(list.cellText(0, kCellGrayFlag), "Yes");
    EXPECT_EQ(list.cellText(1, kCellGrayFlag), "No");
}

TEST(GrayFlag, YesInAnyCaseOnly) {
    for (const char* yes : {"Yes", "YES", "yes", "yEs"})
        EXPECT_TRUE(isGrayFlag(yes)) << yes;
    for (const char* no : {"No", "", "Ye", "Yess", " Yes", "Y"})
        EXPECT_FALSE(isGrayFlag(no)) << no;
}

TEST(PageListOps, CellTextOutOfRangeIsEmpty) {
    PageList list = listFrom("A B");
    EXPECT_EQ(list.cellText(-1, 0), "");
    EXPECT_EQ(list.cellText(2, 0), "");
    EXPECT_EQ(list.cellText(0, 5), "");
    EXPECT_EQ(list.cellText(1, 0), "B");
}

TEST(PageListOps, InsertAtCountAppendsUnselectedWithEmptyCells) {
    PageList list = listFrom("A* B");
    list.insertRow(2, "C");
    list.insertRow(0, "Z");
    EXPECT_EQ(describe(list), "Z A* B C");
    for (int cell = 1; cell < kCellCount; ++cell)
        EXPECT_EQ(list.cellText(3, cell), "");
    EXPECT_THROW(list.insertRow(5, "X"), std::out_of_range);
}

TEST(PageListOps, NextSelectedNeverReturnsItsStart) {
    PageList list = listFrom("A* B C* D*");
    EXPECT_EQ(list.nextSelected(-1), 0);
    EXPECT_EQ(list.nextSelected(0), 2);
    EXPECT_EQ(list.nextSelected(2), 3);
    EXPECT_EQ(list.nextSelected(3), -1);
}

TEST(PageListOps, MoveRowToItselfClearsOnlyThatSelection) {
    PageList list = listFrom("A* B* C");
    list.moveRow(1, 1);
    EXPECT_EQ(describe(list), "A* B C");
    list.moveRow(0, 2);
    EXPECT_EQ(describe(list), "B C A");
}

TEST(PageListOps, DeleteKeepsOtherSelections) {
    PageList list = listFrom("A B* C*");
    list.deleteRow(0);
    EXPECT_EQ(describe(list), "B* C*");
}

// The view mirrors the model through the observer: replaying the events on a plain copy
// must give the same rows, or the window would show something else than the book.
TEST(PageListObserverEvents, ReplayGivesTheSameRows) {
    struct Mirror : PageListObserver {
        const PageList* model = nullptr;
        std::vector<std::array<std::string, kCellCount>> rows;
        void rowInserted(int i) override { rows.insert(rows.begin() + i, {model->cellText(i, 0)}); }
        void rowDeleted(int i) override { rows.erase(rows.begin() + i); }
        void cellChanged(int i, int c) override {
            rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)] = model->cellText(i, c);
        }
        void selectionChanged(int) override {}
    } mirror;
    PageList list;
    mirror.model = &list;
    list.setObserver(&mirror);
    for (const char* name : {"A", "B", "C", "D", "E"}) {
        const int r = list.rowCount();
        list.insertRow(r, name);
        list.setCellText(r, kCellPath, std::string("/x/") + name);
    }
    for (int i : {1, 3, 4})
        list.setSelected(i, true);
    moveSelectedToTop(list);
    for (int i : {0, 4})
        list.setSelected(i, true);
    moveSelectedDown(list);
    list.setSelected(2, true);
    deleteSelected(list);
    ASSERT_EQ(static_cast<int>(mirror.rows.size()), list.rowCount());
    for (int i = 0; i < list.rowCount(); ++i)
        for (int c = 0; c < kCellCount; ++c)
            EXPECT_EQ(mirror.rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)],
                      list.cellText(i, c));
}

} // namespace
} // namespace folio
