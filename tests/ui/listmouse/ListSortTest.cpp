#include "ListInputFixture.h"

namespace
{

class ListSort : public ListInput
{
protected:
    // A press and release on a header column.
    void ClickHeader(int position)
    {
        Send(WM_LBUTTONDOWN, MK_LBUTTON, X(position), 10);
        Send(WM_LBUTTONUP, 0, X(position), 10);
    }
    std::vector<std::wstring> Column(int id) const
    {
        std::vector<std::wstring> texts;
        for (int row = 0; row < list.GetItemCount(); ++row)
            texts.push_back(Text(row, id));
        return texts;
    }
};

TEST_F(ListSort, RowsMoveWholeWithTheirItemData)
{
    CCountedItem items[3];
    AddRows({L"c", L"a", L"b"});
    for (int row = 0; row < 3; ++row)
    {
        list.SetItemText(row, 2, std::to_wstring(row).c_str());
        list.SetItemData(row, CItem(&items[row]));
    }
    ClickHeader(0);
    EXPECT_EQ(Column(2), (std::vector<std::wstring>{L"1", L"2", L"0"}));
    CItem data;
    ASSERT_TRUE(list.GetItemData(0, data));
    EXPECT_EQ(data.Get(), &items[1]);
    data.Reset();
    for (const CCountedItem& item : items)
        EXPECT_EQ(item.count, 2u); // the list's reference, exchanged and not copied
    while (list.GetItemCount())
        list.DeleteItem(0); // the items go before the list
}

TEST_F(ListSort, TheSameHeaderAgainReversesAnotherSortsAfreshAndNoRowStaysSelected)
{
    AddRows({L"b", L"c", L"a"});
    Click(0, 1);
    Click(2, 1, MK_CONTROL);
    parent.notes.clear();
    ClickHeader(0);
    ASSERT_EQ(Column(0), (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(list.GetHeaderState().sortColumn, 0);
    EXPECT_TRUE(list.GetHeaderState().sortAscending);
    EXPECT_TRUE(Selection().empty());
    EXPECT_EQ(list.GetSelectionState().anchorRow, -1);
    EXPECT_EQ(list.GetSelectionState().focusRow, -1);
    EXPECT_EQ(Count(LCN_SELECTED), 0);
    ASSERT_NE(list.AddItem(L"aa"), -1); // lands at the end, and stays put relative to the others
    ClickHeader(0);
    EXPECT_EQ(Column(0), (std::vector<std::wstring>{L"aa", L"c", L"b", L"a"}));
    EXPECT_FALSE(list.GetHeaderState().sortAscending);

    const wchar_t* second[] = {L"3", L"1", L"2", L"0"};
    for (int row = 0; row < 4; ++row)
        list.SetItemText(row, 1, second[row]);
    ClickHeader(1);
    EXPECT_EQ(Column(1), (std::vector<std::wstring>{L"0", L"1", L"2", L"3"}));
    EXPECT_TRUE(list.GetHeaderState().sortAscending);
    EXPECT_EQ(list.Header().sortColumn, 1);
}

TEST_F(ListSort, NoSortWhenOffHiddenDraggedOrCancelled)
{
    AddRows({L"b", L"a"});
    const std::vector<std::wstring> unsorted{L"b", L"a"};
    list.SetSortable(FALSE);
    ClickHeader(0);
    EXPECT_EQ(Column(0), unsorted);
    list.SetSortable(TRUE);

    // A press that moves more than 4 pixels across or down becomes a column
    // drag.
    Send(WM_LBUTTONDOWN, MK_LBUTTON, X(0), 10);
    Send(WM_MOUSEMOVE, MK_LBUTTON, X(0) + 4, 14); // not yet
    EXPECT_EQ(list.Header().pressedColumn, 0);
    Send(WM_MOUSEMOVE, MK_LBUTTON, X(0) + 5, 10);
    Send(WM_LBUTTONUP, 0, X(0) + 5, 10);
    EXPECT_EQ(Column(0), unsorted);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, X(0), 10);
    Send(WM_MOUSEMOVE, MK_LBUTTON, X(0), 15);
    Send(WM_LBUTTONUP, 0, X(0), 15);
    EXPECT_EQ(Column(0), unsorted);

    Send(WM_LBUTTONDOWN, MK_LBUTTON, X(0), 10);
    list.SendMessage(WM_CANCELMODE);
    Send(WM_LBUTTONUP, 0, X(0), 10);
    EXPECT_EQ(Column(0), unsorted);

    // A press on a divider resizes.
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 88, 10);
    EXPECT_TRUE(list.GetHeaderState().resizing);
    Send(WM_LBUTTONUP, 0, 88, 10);
    EXPECT_FALSE(list.GetHeaderState().resizing);
    EXPECT_EQ(Column(0), unsorted);

    list.ShowHeader(FALSE);
    EXPECT_FALSE(list.SortColumn(0));
    EXPECT_EQ(Column(0), unsorted);
    list.ShowHeader(TRUE);
    EXPECT_TRUE(list.SortColumn(0));
    EXPECT_EQ(Column(0), (std::vector<std::wstring>{L"a", L"b"}));
}

} // namespace
