#include "ListInputFixture.h"

namespace
{

using ListSelect = ListInput;

TEST_F(ListSelect, PlainClickSelectsOneRowAndReportsSelectionThenClick)
{
    AddRows(5);
    Click(2, 1);
    EXPECT_EQ(Selection(), std::vector<int>{2});
    EXPECT_EQ(list.Selection().focusRow, 2);
    EXPECT_EQ(list.Selection().focusColumn, 1);
    ASSERT_EQ(Sent(), (Notes{{LCN_SELECTED, 2, 1}, {LCN_LEFTCLICK, 2, 1}}));
    EXPECT_EQ(parent.notes[0].id, static_cast<UINT_PTR>(kListId));
    EXPECT_EQ(parent.notes[0].from, list.m_hWnd);

    // The only selected row clicked again: no new selection notice.
    parent.notes.clear();
    Click(2, 2);
    EXPECT_EQ(Sent(), (Notes{{LCN_LEFTCLICK, 2, 2}}));
    EXPECT_EQ(list.Selection().focusColumn, 2);

    // Below the rows: row -1, column id 0.
    parent.notes.clear();
    Send(WM_LBUTTONDOWN, MK_LBUTTON, X(1), 140);
    Send(WM_LBUTTONUP, 0, X(1), 140);
    EXPECT_EQ(Sent(), (Notes{{LCN_LEFTCLICK, -1, 0}}));
    EXPECT_EQ(Selection(), std::vector<int>{2});
}

TEST_F(ListSelect, ModifierClicksAreReportedOnlyWhenTheySelectAndAPlainOneInsideNarrowsOnRelease)
{
    AddRows(6);
    Click(1, 1);
    Click(3, 1, MK_CONTROL);
    Click(5, 1, MK_SHIFT);
    EXPECT_EQ(Selection(), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(Count(LCN_SELECTED), 3);
    EXPECT_EQ(Sent()[4], std::make_tuple(LCN_SELECTED, 5, 0)) << "several rows: no focus column";
    Click(4, 2, MK_CONTROL);
    EXPECT_EQ(Selection(), (std::vector<int>{3, 5}));
    EXPECT_EQ(Count(LCN_SELECTED), 3) << "removals are not reported";

    // A plain click inside the selection narrows it on the release.
    Press(5, 1);
    EXPECT_EQ(Selection(), (std::vector<int>{3, 5}));
    Release(5, 1);
    EXPECT_EQ(Selection(), std::vector<int>{5});
}

TEST_F(ListSelect, SingleSelectionIgnoresSelectAllAndShiftedKeys)
{
    list.SetSingleSelect(TRUE);
    AddRows(5);
    Click(4, 1);
    Key('A', true);
    EXPECT_EQ(Selection(), std::vector<int>{4});
    Key(VK_UP, false, true);
    EXPECT_EQ(Selection(), std::vector<int>{3});
}

TEST_F(ListSelect, RightButtonSelectsOnlyAnUnselectedRow)
{
    AddRows(5);
    Click(1, 1);
    Click(2, 1, MK_CONTROL);
    Send(WM_RBUTTONDOWN, MK_RBUTTON, X(1), Y(2));
    EXPECT_EQ(Selection(), (std::vector<int>{1, 2}));
    Send(WM_RBUTTONDOWN, MK_RBUTTON, X(1), Y(4));
    EXPECT_EQ(Selection(), std::vector<int>{4});
}

TEST_F(ListSelect, AHalfHiddenRowStartsTheDelayedEdit)
{
    AddRows(8);
    Click(5, 1); // whole
    EXPECT_FALSE(::KillTimer(list, TIMER_EDIT_DELAY));
    Click(6, 1); // cut by the bottom edge
    EXPECT_TRUE(::KillTimer(list, TIMER_EDIT_DELAY));
}

TEST_F(ListSelect, CheckBoxesToggleOnPressAndDoubleClick)
{
    AddRows(3);
    for (int row = 0; row < 3; ++row)
        list.SetItemText(row, 1, L"0");
    list.FindCell(0, 1)->format = ITEM_FORMAT_CHECKBOX;
    list.FindCell(1, 1)->format = ITEM_FORMAT_CHECKBOX3;
    list.FindCell(2, 1)->format = ITEM_FORMAT_CHECKBOX;
    list.FindCell(2, 1)->flags = ITEM_FLAGS_READ_ONLY;

    Press(0, 1);
    EXPECT_EQ(Text(0, 1), L"1");
    Release(0, 1);
    EXPECT_EQ(Sent(), (Notes{{LCN_SELECTED, 0, 1}, {LCN_MODIFIED, 0, 1}, {LCN_LEFTCLICK, 0, 1}}));

    // A double click is a second press: the box toggles back.
    parent.notes.clear();
    Send(WM_LBUTTONDBLCLK, MK_LBUTTON, X(1), Y(0));
    Release(0, 1);
    EXPECT_EQ(Text(0, 1), L"0");
    EXPECT_EQ(Count(LCN_MODIFIED), 1);
    EXPECT_EQ(Count(LCN_DBLCLICK), 1);

    std::vector<std::wstring> states;
    for (int i = 0; i < 3; ++i)
    {
        Click(1, 1);
        states.push_back(Text(1, 1));
    }
    EXPECT_EQ(states, (std::vector<std::wstring>{L"1", L"-1", L"0"}));

    parent.notes.clear();
    Click(2, 1);
    EXPECT_EQ(Text(2, 1), L"0");
    EXPECT_EQ(Count(LCN_MODIFIED), 0);

    // Space ticks the current row's box in the column of the cell focus.
    list.SetCellFocus(TRUE);
    Click(0, 1);
    ASSERT_EQ(Text(0, 1), L"1");
    Key(VK_SPACE);
    EXPECT_EQ(Text(0, 1), L"0");
}

TEST_F(ListSelect, HyperlinkPressIsReportedUnlessReadOnly)
{
    AddRows(2);
    list.FindCell(0, 2)->format = ITEM_FORMAT_HYPERLINK;
    list.FindCell(1, 2)->format = ITEM_FORMAT_HYPERLINK;
    list.FindCell(1, 2)->flags = ITEM_FLAGS_READ_ONLY;
    Click(0, 2);
    Click(1, 2);
    const Notes notes = Sent();
    EXPECT_EQ(std::count(notes.begin(), notes.end(), std::make_tuple(LCN_HYPERLINK, 0, 2)), 1);
    EXPECT_EQ(Count(LCN_HYPERLINK), 1);
}

TEST_F(ListSelect, DraggingOverRowsDrawsABandThatSelectsThem)
{
    AddRows(6);
    Press(1, 1);
    Send(WM_MOUSEMOVE, MK_LBUTTON, X(1) + 2, Y(1) + 2); // within 3 pixels: nothing yet
    EXPECT_FALSE(list.GetInputState().bandActive);
    Send(WM_MOUSEMOVE, MK_LBUTTON, X(1) + 10, Y(3));
    EXPECT_TRUE(list.GetInputState().bandActive);
    EXPECT_EQ(Selection(), (std::vector<int>{1, 2, 3}));
    parent.notes.clear();
    Release(3, 1);
    EXPECT_FALSE(list.GetInputState().bandActive);
    EXPECT_TRUE(parent.notes.empty()); // a band ends without a click
    EXPECT_EQ(Selection(), (std::vector<int>{1, 2, 3}));
}

TEST_F(ListSelect, SwipeFromTheFirstColumnAddsRowsUnderThePointer)
{
    list.SetSwipeSelect(TRUE);
    AddRows(6);
    Press(1, 0); // the first column arms no band
    Send(WM_MOUSEMOVE, MK_LBUTTON | MK_CONTROL, X(0), Y(2));
    Send(WM_MOUSEMOVE, MK_LBUTTON | MK_CONTROL, X(0), Y(4));
    EXPECT_FALSE(list.GetInputState().bandActive);
    EXPECT_EQ(Selection(), (std::vector<int>{1, 2, 4}));
}

TEST_F(ListSelect, PointerTracksTheHotCellUntilItLeaves)
{
    AddRows(3);
    Send(WM_MOUSEMOVE, 0, X(2), Y(1));
    EXPECT_EQ(list.GetInputState().hotRow, 1);
    EXPECT_EQ(list.GetInputState().hotColumn, 2);
    Send(WM_MOUSEMOVE, 0, X(1), 140); // below the rows
    EXPECT_EQ(list.GetInputState().hotRow, -1);
    Send(WM_MOUSEMOVE, 0, X(0), Y(2));
    list.SendMessage(WM_MOUSELEAVE);
    EXPECT_EQ(list.GetInputState().hotRow, -1);
    EXPECT_EQ(list.GetInputState().hotColumn, -1);
}

} // namespace
