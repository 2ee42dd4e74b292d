#include "ListFixture.h"

namespace
{

class ListGeometry : public ListTest
{
protected:
    SCROLLINFO Bar(int bar)
    {
        SCROLLINFO info{sizeof(info), SIF_ALL};
        list.GetScrollInfo(bar, &info);
        return info;
    }
};

TEST_F(ListGeometry, VerticalRangeFollowsTheRowsAndRowsAreDrawnWholeFromTheTop)
{
    list.SetRowHeight(20);
    list.AddColumn(L"A", 100);
    AddRows(5); // 5 x 20 + 20 fits into 150
    EXPECT_EQ(Bar(SB_VERT).nMax, 0);
    EXPECT_FALSE(list.GetGeometry().vertBarShown);
    AddRows(5);
    ASSERT_EQ(Client().bottom, 150);
    SCROLLINFO info = Bar(SB_VERT);
    EXPECT_EQ(info.nPage, 130u);
    EXPECT_EQ(info.nMax, 220);
    EXPECT_TRUE(list.GetGeometry().vertBarShown);

    Send(WM_VSCROLL, SB_BOTTOM);
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 91);
    EXPECT_EQ(list.FirstVisibleRow(), 4);
    RECT rect{};
    ASSERT_TRUE(list.GetItemRect(9, -1, rect));
    EXPECT_EQ(rect.top, 120);
    EXPECT_EQ(rect.bottom, 140);
    EXPECT_EQ(rect.right, 99); // the columns end before the client does
    EXPECT_FALSE(list.GetItemRect(3, -1, rect));
    EXPECT_FALSE(list.GetItemRect(10, -1, rect));
    EXPECT_TRUE(list.IsItemVisible(9));
    EXPECT_FALSE(list.IsItemVisible(3));

    // Above the top: the row becomes the first; below the bottom: the last.
    ASSERT_TRUE(list.EnsureVisible(1));
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 20);
    EXPECT_FALSE(list.IsItemVisible(7));
    EXPECT_TRUE(list.IsItemVisible(7, -1, TRUE)); // 130 / 20 leaves a part row
    ASSERT_TRUE(list.EnsureVisible(8));
    EXPECT_EQ(list.FirstVisibleRow(), 3);
    EXPECT_FALSE(list.EnsureVisible(10));

    Send(WM_VSCROLL, SB_TOP);
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 0);
}

TEST_F(ListGeometry, HorizontalBarOnlyWhenTheColumnsAreWiderThanTheClient)
{
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 100);
    EXPECT_EQ(Bar(SB_HORZ).nMax, 0);
    EXPECT_FALSE(list.GetGeometry().horzBarShown);

    list.AddColumn(L"C", 300);
    const int width = Client().right;
    SCROLLINFO info = Bar(SB_HORZ);
    EXPECT_EQ(info.nMax, 499);
    EXPECT_EQ(static_cast<int>(info.nPage), width);
    EXPECT_TRUE(list.GetGeometry().horzBarShown);
    const int last = 499 - width + 1;

    Send(WM_HSCROLL, SB_LINERIGHT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 5);
    Send(WM_HSCROLL, SB_LINELEFT);
    Send(WM_HSCROLL, SB_LINELEFT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 0);
    Send(WM_HSCROLL, SB_PAGERIGHT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), std::min(width, last));
    Send(WM_HSCROLL, SB_RIGHT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), last);
    Send(WM_HSCROLL, SB_LINERIGHT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), last);

    RECT rect{};
    ASSERT_TRUE(list.GetColumnRect(2, rect)); // columns move with the view
    EXPECT_EQ(rect.left, 200 - last);
    Send(WM_HSCROLL, SB_LEFT);
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 0);

    // Narrowing a column below the client width takes the bar away.
    ASSERT_TRUE(list.SetColumnWidth(2, 10));
    EXPECT_EQ(list.GetTotalWidth(), 209);
    EXPECT_EQ(Bar(SB_HORZ).nMax, 0);
}

TEST_F(ListGeometry, WheelScrollsThreeLinesANotchAndStopsAtTheTop)
{
    list.SetRowHeight(20);
    list.Metrics().wheelLines = 3;
    list.AddColumn(L"A", 100);
    AddRows(30);
    list.ResetScrollBars(SB_VERT, 30, FALSE);
    ASSERT_EQ(list.GetScrollPos(SB_VERT), 30);
    Send(WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA));
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 0);
    Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)));
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 60);
    Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA / 2))); // 1.5 lines: one
    EXPECT_EQ(list.GetScrollPos(SB_VERT), 80);
}

TEST_F(ListGeometry, HitTestFindsRowsBelowTheHeaderAndColumnsMovedWithTheView)
{
    list.SetRowHeight(20);
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 400);
    AddRows(3);

    int row = -7, position = -7;
    EXPECT_FALSE(list.HitTest(POINT{10, 5}, row, position)); // header
    EXPECT_EQ(row, -7);
    EXPECT_TRUE(list.HitTest(POINT{150, 65}, row, position));
    EXPECT_EQ(row, 2);
    EXPECT_EQ(position, 1);
    EXPECT_FALSE(list.HitTest(POINT{100, 65}, row, position)); // on the edge between A and B
    EXPECT_EQ(position, 2);
    position = -7;
    EXPECT_FALSE(list.HitTest(POINT{50, 100}, row, position)); // below the rows
    EXPECT_EQ(row, 4);
    EXPECT_EQ(position, -7);
    Send(WM_HSCROLL, SB_LINERIGHT);
    EXPECT_TRUE(list.HitTest(POINT{97, 30}, row, position)); // 102 of the content
    EXPECT_EQ(position, 1);

    list.ShowHeader(FALSE);
    EXPECT_TRUE(list.HitTest(POINT{10, 5}, row, position));
    EXPECT_EQ(row, 0);
}

TEST_F(ListGeometry, RightClickOutsideTheRowsEmptiesTheSelectionAndAlwaysNotifies)
{
    list.SetRowHeight(20);
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 100);
    AddRows(3);
    CListColumn b;
    list.GetColumn(1, b);
    list.RemoveColumn(1);
    list.InsertColumn(0, b); // B, A

    list.Selection().rows = {1};
    list.Selection().focusRow = 1;
    Send(WM_RBUTTONUP, 0, 150, 45); // row 1, position 1 = column A
    EXPECT_EQ(list.Selection().rows, std::set<int>{1});
    Send(WM_RBUTTONUP, 0, 10, 5); // header
    EXPECT_TRUE(list.Selection().rows.empty());
    EXPECT_EQ(list.Selection().focusRow, -1);
    list.Selection().rows = {0};
    Send(WM_RBUTTONUP, 0, 50, 130); // below the last row
    EXPECT_TRUE(list.Selection().rows.empty());

    EXPECT_EQ(Sent(), (Notes{{LCN_RIGHTCLICK, 1, 0}, {LCN_RIGHTCLICK, -1, 0}, {LCN_RIGHTCLICK, 5, 0}}));
}

TEST_F(ListGeometry, ADialogsListControlIsTakenOverBySubclassing)
{
    ASSERT_TRUE(CTestList::RegisterListClass());
    HWND control = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"ListCtrl", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 0, 200,
                                     100, parent, reinterpret_cast<HMENU>(7), ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(control);
    CTestList subclassed;
    ASSERT_TRUE(subclassed.SubclassWindow(control));
    EXPECT_GT(subclassed.GetRowHeight(), 6);
    EXPECT_EQ(subclassed.GetExStyle() & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE), static_cast<DWORD>(WS_EX_STATICEDGE));
    EXPECT_EQ(subclassed.GetStyle() & (WS_BORDER | WS_CLIPCHILDREN), static_cast<DWORD>(WS_CLIPCHILDREN));
    subclassed.AddColumn(L"A", 50);
    EXPECT_EQ(subclassed.AddItem(L"x"), 0);
    EXPECT_EQ(subclassed.SendMessage(WM_ERASEBKGND), 1); // the list's own messages now
    EXPECT_EQ(subclassed.SendMessage(WM_GETDLGCODE),
              static_cast<LRESULT>(DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS));
}

TEST_F(ListGeometry, TheRubberBandSelectsTheRowsUnderItsClientRectangle)
{
    list.SetRowHeight(20);
    list.AddColumn(L"A", 100);
    AddRows(5);
    list.BeginBand(POINT{50, 30});  // row 0
    list.OnBandMove(POINT{80, 75}); // row 2
    EXPECT_EQ(list.GetSelection(), (std::set<int>{0, 1, 2}));
    list.BeginBand(POINT{150, 30}); // right of the columns: nothing
    list.OnBandMove(POINT{160, 75});
    EXPECT_TRUE(list.GetSelection().empty());
    list.EndBand();
}

TEST_F(ListGeometry, InCellFocusModeEnsureVisibleScrollsTheColumnIntoView)
{
    list.SetCellFocus(TRUE);
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 100);
    list.AddColumn(L"C", 100);
    list.AddColumn(L"D", 100);
    list.AddColumn(L"Wide", 400);
    list.AddItem(L"x");
    const int width = Client().right;
    ASSERT_TRUE(list.EnsureVisible(0, 3)); // sticks out on the right
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 400 - width);
    EXPECT_TRUE(list.IsItemVisible(0, 3));
    EXPECT_FALSE(list.IsItemVisible(0, 0));
    ASSERT_TRUE(list.EnsureVisible(0, 0)); // starts left of the client
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 0);
    ASSERT_TRUE(list.EnsureVisible(0, 4)); // wider than the client: its left edge
    EXPECT_EQ(list.GetScrollPos(SB_HORZ), 400);
}

} // namespace
