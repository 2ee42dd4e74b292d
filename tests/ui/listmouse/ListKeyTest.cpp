#include "ListInputFixture.h"

namespace
{

using ListKeys = ListInput;

TEST_F(ListKeys, ArrowsPagesAndEndsMoveTheSelectedRow)
{
    AddRows(30);
    Click(0, 1);
    struct Step
    {
        UINT key;
        int row;
    };
    // Six whole rows show: a page moves five.
    const Step steps[] = {{VK_DOWN, 1},  {VK_NEXT, 6}, {VK_NEXT, 11}, {VK_UP, 10},   {VK_PRIOR, 5},
                          {VK_PRIOR, 0}, {VK_UP, 0},   {VK_END, 29},  {VK_DOWN, 29}, {VK_HOME, 0}};
    for (const Step& step : steps)
    {
        Key(step.key);
        EXPECT_EQ(Selection(), std::vector<int>{step.row}) << "key " << step.key;
        EXPECT_EQ(list.Selection().focusRow, step.row);
    }
    Key(VK_END);
    EXPECT_TRUE(list.IsItemVisible(29));
    EXPECT_FALSE(list.IsItemVisible(0));
}

TEST_F(ListKeys, ShiftExtendsAndControlMovesOnlyTheFocus)
{
    AddRows(10);
    Click(2, 1);
    Key(VK_DOWN, false, true);
    Key(VK_DOWN, false, true);
    EXPECT_EQ(Selection(), (std::vector<int>{2, 3, 4}));
    Key(VK_UP, true);
    EXPECT_EQ(Selection(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(list.Selection().focusRow, 3);

    parent.notes.clear();
    Key('A', true);
    EXPECT_EQ(Selection().size(), 10u);
    EXPECT_TRUE(parent.notes.empty());
    EXPECT_EQ(list.Selection().focusRow, 3);
}

TEST_F(ListKeys, SidewaysKeysScrollWithoutCellFocusAndMoveItWithin)
{
    list.SetColumnWidth(2, 400); // 580 pixels wide in a 300 pixel view
    AddRows(3);
    Click(1, 1);
    Key(VK_RIGHT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 5);
    Key(VK_RIGHT, true);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 55);
    Key(VK_LEFT, true);
    Key(VK_LEFT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 0);
    EXPECT_EQ(Selection(), std::vector<int>{1});

    // In cell focus mode they move the focus across the columns within the row.
    list.SetCellFocus(TRUE);
    Click(1, 0);
    Key(VK_RIGHT);
    Key(VK_RIGHT);
    Key(VK_RIGHT); // already the last column
    EXPECT_EQ(list.Selection().focusColumn, 2);
    Key(VK_TAB, false, true);
    EXPECT_EQ(list.Selection().focusColumn, 1);
    Key(VK_TAB, true); // Ctrl+Tab leaves the list alone
    EXPECT_EQ(list.Selection().focusColumn, 1);
    Key(VK_LEFT);
    Key(VK_LEFT);
    EXPECT_EQ(list.Selection().focusColumn, 0);
    Key(VK_DOWN); // the column stays
    Key(VK_RIGHT);
    EXPECT_EQ(list.Selection().focusRow, 2);
    EXPECT_EQ(list.Selection().focusColumn, 1);
    EXPECT_EQ(Selection(), std::vector<int>{2});
}

class ListTypeAhead : public ListInput
{
protected:
    void SetUp() override
    {
        ListInput::SetUp();
        AddRows({L"apple", L"Banana", L"cherry", L"blueberry", L"Brick", L"bread"});
    }
    // The next key comes this long after the last one: a pause unless shorter
    // than 800 ms.
    void Pause(DWORD ms = 1000) { list.Input().typeAheadTime = ::GetTickCount() - ms; }
    int Row() const { return list.GetSelectionState().focusRow; }
};

TEST_F(ListTypeAhead, LettersFindRowsByTheirBeginningInTheSortedColumn)
{
    Click(2, 1);
    Pause();
    Key('B');
    EXPECT_EQ(Row(), 1); // from the top, in any case
    Pause(500);
    Key('R'); // "br": row 1 does not match, the next one below does
    EXPECT_EQ(Row(), 4);
    Key('E'); // "bre": row 4 does not match: on to "bread"
    EXPECT_EQ(Row(), 5);
    Pause();
    Key('Q'); // nothing begins with q
    EXPECT_EQ(Row(), 5);

    list.SetItemText(3, 0, L"Bamboo");
    Pause();
    Key('B');
    ASSERT_EQ(Row(), 1);
    Key('A'); // "Banana" begins with "ba" too: the row stays
    EXPECT_EQ(Row(), 1);

    // Sorted by the second column, that column is searched.
    const wchar_t* values[] = {L"x", L"kiwi", L"y", L"z", L"k", L"m"};
    for (int row = 0; row < 6; ++row)
        list.SetItemText(row, 1, values[row]);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, X(1), 10);
    Send(WM_LBUTTONUP, 0, X(1), 10);
    Pause();
    Key('K');
    EXPECT_EQ(Text(Row(), 1), L"k");
}

TEST_F(ListTypeAhead, TheSameLetterStepsThroughItsRows)
{
    Click(0, 1);
    Pause();
    std::vector<int> rows;
    for (int i = 0; i < 5; ++i)
    {
        Key('B');
        rows.push_back(Row());
    }
    EXPECT_EQ(rows, (std::vector<int>{1, 3, 4, 5, 1}));
    // After a pause the same first letter still searches below.
    Pause();
    Key('B');
    EXPECT_EQ(Row(), 3);
}

} // namespace
