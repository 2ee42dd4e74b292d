// The list's rules over its view state, without a window.
#include "ui/listctrl/ListState.h"
#include <gtest/gtest.h>

namespace
{

std::vector<CListColumn> Columns(std::initializer_list<int> widths)
{
    std::vector<CListColumn> columns;
    for (int width : widths)
    {
        CListColumn column;
        column.width = width;
        column.id = static_cast<int>(columns.size());
        columns.push_back(column);
    }
    return columns;
}

std::vector<int> Ids(const std::vector<CListColumn>& columns)
{
    std::vector<int> ids;
    for (const CListColumn& column : columns)
        ids.push_back(column.id);
    return ids;
}

TEST(ListHitTest, DividersResizeTheClosedColumnOrPullOutAHiddenOne)
{
    const auto columns = Columns({100, 0, 0, 100});
    struct Case
    {
        int x;
        bool hit;
        int position;
        UINT bits;
    };
    const Case cases[] = {
        {50, true, 0, 0x0},                         // inside the first
        {95, true, 0, 0x3},                         // 5 left of its right edge
        {104, true, 2, 0x5},                        // 4 right of it: the last hidden column comes out
        {105, true, 3, 0x0},                        // inside the fourth
        {198, true, 3, 0x3},   {202, true, 3, 0x3}, // right of the last column: the column itself
        {205, false, -9, 0x0},
    };
    for (const Case& c : cases)
    {
        int position = -9;
        UINT bits = 0xFF;
        EXPECT_EQ(HitTestDividers(columns, 0, c.x, position, bits), c.hit) << c.x;
        EXPECT_EQ(position, c.position) << c.x;
        EXPECT_EQ(bits, c.bits) << c.x;
    }
    int position = -9;
    UINT bits = 0;
    EXPECT_TRUE(HitTestDividers(columns, 50, 50, position, bits)); // 100 of the content
    EXPECT_EQ(bits, 0x5u);
    EXPECT_EQ(position, 2);
}

TEST(ListSelectionRules, PlainControlAndShiftClicksAndBands)
{
    CListSelection selection;
    EXPECT_TRUE(ApplyClick(selection, 2, 1, 0, false, 5));
    EXPECT_EQ(selection.rows, std::set<int>{2});
    EXPECT_EQ(selection.focusColumn, 1);
    // The only selected row again: nothing new to report, the focus column moves.
    EXPECT_FALSE(ApplyClick(selection, 2, 0, 0, false, 5));
    EXPECT_EQ(selection.focusColumn, 0);

    EXPECT_TRUE(ApplyClick(selection, 4, 1, MK_CONTROL, false, 5));
    EXPECT_EQ(selection.rows, (std::set<int>{2, 4}));
    EXPECT_EQ(selection.focusColumn, -1); // several rows: no focus cell
    EXPECT_FALSE(ApplyClick(selection, 2, 1, MK_CONTROL, false, 5));
    EXPECT_EQ(selection.rows, std::set<int>{4});
    EXPECT_EQ(selection.focusRow, 2);
    EXPECT_EQ(selection.focusColumn, 1);
    EXPECT_EQ(selection.CurrentRow(), 4); // the focus row is not selected

    // Shift selects from the anchor, which stays.
    EXPECT_TRUE(ApplyClick(selection, 0, 1, MK_SHIFT, false, 5));
    EXPECT_EQ(selection.rows, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(selection.anchorRow, 2);
    EXPECT_EQ(selection.CurrentRow(), 0);

    // An anchor beyond the rows (left by deleted rows) is held to them.
    selection.anchorRow = 9;
    EXPECT_TRUE(ApplyClick(selection, 2, 1, MK_SHIFT, false, 4));
    EXPECT_EQ(selection.rows, (std::set<int>{2, 3}));

    // Single selection: Shift and Control only select the row.
    EXPECT_TRUE(ApplyClick(selection, 1, 1, MK_SHIFT, true, 5));
    EXPECT_EQ(selection.rows, std::set<int>{1});
    EXPECT_TRUE(ApplyClick(selection, 3, 1, MK_CONTROL, true, 5));
    EXPECT_EQ(selection.rows, std::set<int>{3});

    selection.Clear();
    EXPECT_EQ(selection.CurrentRow(), -1);
    EXPECT_EQ(selection.anchorRow, -1);

    // A band selects the rows that exist.
    selection.rows = {7};
    SelectRowRange(selection, -1, 2, 5);
    EXPECT_EQ(selection.rows, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(selection.anchorRow, 0);
    EXPECT_EQ(selection.focusRow, 2);
    SelectRowRange(selection, 3, 9, 5);
    EXPECT_EQ(selection.rows, (std::set<int>{3, 4}));
    SelectRowRange(selection, 6, 9, 5); // below the rows
    EXPECT_TRUE(selection.rows.empty());
    EXPECT_EQ(selection.anchorRow, -1);
    EXPECT_EQ(selection.focusRow, 4); // kept from the last band that held rows
}

TEST(ListColumnDrop, AColumnLandsOnTheBoundaryNearestTheCursorNeverOnItsOwnPlace)
{
    const RECT second{100, 0, 200, 20};
    EXPECT_EQ(DropPositionAt(130, 1, second, 3), 1);  // left half: before it
    EXPECT_EQ(DropPositionAt(150, 1, second, 0), 2);  // the middle counts as the right half
    EXPECT_EQ(DropPositionAt(130, 1, second, 0), -1); // just right of the dragged column
    EXPECT_EQ(DropPositionAt(149, 1, second, 1), -1);
    EXPECT_EQ(DropPositionAt(170, 1, second, 1), -1);
    EXPECT_EQ(DropPositionAt(130, 1, second, 2), 1);

    struct Case
    {
        int from, drop;
        std::vector<int> ids;
    };
    const Case cases[] = {
        {0, 3, {1, 2, 0}}, {0, 9, {1, 2, 0}}, {2, 0, {2, 0, 1}},  {0, 2, {1, 0, 2}},
        {1, 1, {0, 1, 2}}, {3, 0, {0, 1, 2}}, {0, -1, {0, 1, 2}},
    };
    for (const Case& c : cases)
    {
        auto columns = Columns({10, 20, 30});
        MoveColumn(columns, c.from, c.drop);
        EXPECT_EQ(Ids(columns), c.ids) << c.from << " to " << c.drop;
    }
}

TEST(ListSortRules, TextsCompareCodeUnitByCodeUnitAShorterPrefixFirst)
{
    const std::wstring texts[] = {L"10", L"9", L"100", L"b", L"B", L"a", L"Z", L"", L"\u00e9"};
    std::vector<const std::wstring*> pointers;
    for (const std::wstring& text : texts)
        pointers.push_back(&text);
    std::vector<int> order{42};
    SortOrder(pointers, order);
    std::vector<std::wstring> sorted;
    for (int index : order)
        sorted.push_back(texts[index]);
    EXPECT_EQ(sorted, (std::vector<std::wstring>{L"", L"10", L"100", L"9", L"B", L"Z", L"a", L"b", L"\u00e9"}));
}

} // namespace
